// Drives the agent's real HTTP client and probe judge: one probe's round trip,
// then 1,000 probes back to back against a healthy server and 1,000 against a
// server that accepts and never answers, reporting descriptors, threads and
// resident memory before and after. Used by bench/agent-idle.sh.
//
//   agent-probe-bench HEALTHY_URL SILENT_URL
#include "HealthProbe.h"
#include "platform/Platform.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

using namespace vantrel;
using Clock = std::chrono::steady_clock;

namespace {

struct Usage {
    long descriptors = 0;
    long threads = 0;
    long residentKiB = 0;
};

long statusField(const std::string& name) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(name + ":", 0) == 0) {
            return std::stol(line.substr(name.size() + 1));
        }
    }
    return -1;
}

Usage usage() {
    Usage now;
    // The directory listing itself holds one descriptor while it runs.
    now.descriptors = std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                    std::filesystem::directory_iterator()) -
                      1;
    now.threads = statusField("Threads");
    now.residentKiB = statusField("VmRSS");
    return now;
}

void report(const char* when, const Usage& u) {
    std::printf("  %-28s fds %3ld  threads %2ld  RSS %6ld KiB\n", when, u.descriptors, u.threads,
                u.residentKiB);
}

platform::HttpRequest probe(const std::string& url) {
    platform::HttpRequest request;
    request.url = url;
    request.idleTimeoutSeconds = 1.5;
    request.totalTimeoutSeconds = 5.0;
    request.maxBodyBytes = std::size_t{1024} * 1024;
    return request;
}

// Sends `count` probes, at most `batch` at a time; returns how many were healthy.
int run(platform::HttpClient& client, const platform::System& system, const std::string& url,
        int count, int batch) {
    std::mutex mutex;
    std::condition_variable changed;
    int healthy = 0;
    for (int sent = 0; sent < count; sent += batch) {
        const int now = std::min(batch, count - sent);
        int left = now;
        for (int i = 0; i < now; ++i) {
            client.get(probe(url), [&](const std::optional<platform::HttpResponse>& response) {
                const bool ok = isHealthyResponse(system, response);
                std::lock_guard lock(mutex);
                healthy += ok ? 1 : 0;
                --left;
                changed.notify_one();
            });
        }
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return left == 0; });
    }
    return healthy;
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: agent-probe-bench HEALTHY_URL SILENT_URL\n");
        return 2;
    }
    const std::string healthyURL = argv[1];
    const std::string silentURL = argv[2];
    auto client = platform::createHttpClient();
    const auto system = platform::createSystem();

    std::vector<double> trips;
    for (int i = 0; i < 21; ++i) {
        const auto began = Clock::now();
        if (run(*client, *system, healthyURL, 1, 1) != 1) {
            std::fprintf(stderr, "the health server did not answer as healthy\n");
            return 1;
        }
        trips.push_back(seconds(Clock::now() - began) * 1000.0);
    }
    const double first = trips.front();
    std::sort(trips.begin() + 1, trips.end());
    std::printf("one probe round trip: first %.2f ms, median of next 20 %.2f ms\n", first,
                trips[11]);

    // Memory settles during the first half (allocator high-water marks with
    // 50 transfers at once, the connection cache); growth over the second
    // half would be a leak.
    const Usage before = usage();
    auto began = Clock::now();
    int healthy = run(*client, *system, healthyURL, 500, 1);
    const Usage halfHealthy = usage();
    healthy += run(*client, *system, healthyURL, 500, 1);
    const double healthyTime = seconds(Clock::now() - began);
    const Usage afterHealthy = usage();

    began = Clock::now();
    int silentHealthy = run(*client, *system, silentURL, 500, 50);
    const Usage halfSilent = usage();
    silentHealthy += run(*client, *system, silentURL, 500, 50);
    const double silentTime = seconds(Clock::now() - began);
    const Usage afterSilent = usage();

    std::printf("1000 probes back to back, healthy server: %d healthy, %.2f s (%.3f ms each)\n",
                healthy, healthyTime, healthyTime);
    std::printf("1000 probes, silent server, 50 at a time: %d healthy, %.1f s\n", silentHealthy,
                silentTime);
    report("before", before);
    report("after 500 healthy", halfHealthy);
    report("after 1000 healthy", afterHealthy);
    report("after 500 silent", halfSilent);
    report("after 1000 silent", afterSilent);
    const bool grew = afterSilent.descriptors > before.descriptors ||
                      afterSilent.threads > before.threads ||
                      afterHealthy.residentKiB > halfHealthy.residentKiB + 256 ||
                      afterSilent.residentKiB > halfSilent.residentKiB + 256;
    std::printf("descriptor or thread growth, or RSS growth over 256 KiB in a second half: %s\n",
                grew ? "YES" : "none");
    return healthy == 1000 && silentHealthy == 0 && !grew ? 0 : 1;
}
