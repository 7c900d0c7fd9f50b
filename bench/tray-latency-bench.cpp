// How long a state change takes from the probe's answer to a tray host: runs
// the built agent on a private session bus, plays the host in this process and
// answers the agent's probes from a server here too, so both ends read one
// clock. Each round flips the server between healthy and 503 and clicks
// "Refresh Status"; the time counted runs from the first answer of the new
// kind leaving the server to the host holding the new state line (and text).
// Used by bench/agent-tray.sh.
//
//   tray-latency-bench AGENT_EXECUTABLE [ROUNDS]
#include "LoopbackServer.h"
#include "PrivateBus.h"
#include "TemporaryFolder.h"
#include "TrayHost.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

using namespace vantrel;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index =
        static_cast<std::size_t>(std::lround(p * static_cast<double>(values.size() - 1)));
    return values[std::min(index, values.size() - 1)];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tray-latency-bench AGENT_EXECUTABLE [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
    using Server = test::LoopbackServer;
    const Server::Script healthyAnswer = {Server::Mode::answer,
                                          Server::response(200, R"({"service":"vantrel-local"})")};
    const Server::Script failedAnswer = {Server::Mode::answer, Server::response(503, "{}")};
    std::unique_ptr<Server> server;
    try {
        server = std::make_unique<Server>(
            std::map<std::string, Server::Script>{{"/healthz", healthyAnswer}}, 18777);
    } catch (const std::runtime_error&) {
        std::fprintf(stderr, "tray-latency-bench: port 18777 is in use\n");
        return 2;
    }
    test::PrivateBus bus;
    test::TemporaryFolder folder;
    if (bus.address().empty()) {
        std::fprintf(stderr, "tray-latency-bench: dbus-daemon did not start\n");
        return 2;
    }
    // No desired-state file: a failed probe reads "Local API: Stopped".
    std::filesystem::create_directories(folder.path() / "data");
    test::ChildProcess agent({argv[1]}, {{"DBUS_SESSION_BUS_ADDRESS", bus.address()},
                                         {"XDG_DATA_HOME", (folder.path() / "data").string()},
                                         {"HOME", folder.path().string()}});

    trayview::HostOptions options;
    options.busAddress = bus.address();
    std::optional<Clock::time_point> lineSeen;
    std::optional<Clock::time_point> textSeen;
    std::string wantedLine;
    std::string wantedText;
    trayview::TrayHost::Listener listener;
    listener.changed = [&](const trayview::ItemState&, const trayview::ItemState& now) {
        const auto at = Clock::now();
        if (!lineSeen && !now.rows.empty() && now.rows.front().title == wantedLine) {
            lineSeen = at;
        }
        if (!textSeen && now.text == wantedText) {
            textSeen = at;
        }
    };
    auto host = trayview::TrayHost::connect(options, listener);
    if (!host || !test::spinUntil([&] { return host->item() && host->item()->menuRead; }, 10s)) {
        std::fprintf(stderr, "tray-latency-bench: the agent's item never showed\n");
        return 2;
    }
    test::spinUntil([&] { return host->item()->rows.front().title == "Local API: Running"; }, 5s);

    std::vector<double> lineMs;
    std::vector<double> textMs;
    bool healthy = true;
    for (int round = 0; round < rounds; ++round) {
        healthy = !healthy;
        wantedLine = healthy ? "Local API: Running" : "Local API: Stopped";
        wantedText = healthy ? "VT \u25cf" : "VT \u25cb";
        lineSeen.reset();
        textSeen.reset();
        const unsigned kind = server->setRoute("/healthz", healthy ? healthyAnswer : failedAnswer);
        std::optional<std::string> answer;
        host->click("Refresh Status", [&](const std::string& error) { answer = error; });
        if (!test::spinUntil([&] { return lineSeen && textSeen; }, 5s)) {
            std::fprintf(stderr, "tray-latency-bench: round %d never showed %s\n", round,
                         wantedLine.c_str());
            return 1;
        }
        // When the first answer of the new kind went out (its record follows the send).
        std::optional<Clock::time_point> answered;
        test::waitUntil(
            [&] {
                for (const auto& each : server->answers()) {
                    if (each.routesVersion == kind) {
                        answered = each.sent;
                        return true;
                    }
                }
                return false;
            },
            1s);
        if (!answered) {
            std::fprintf(stderr,
                         "tray-latency-bench: round %d: no answer of the new kind was recorded\n",
                         round);
            return 1;
        }
        lineMs.push_back(std::chrono::duration<double, std::milli>(*lineSeen - *answered).count());
        textMs.push_back(std::chrono::duration<double, std::milli>(*textSeen - *answered).count());
    }

    const auto row = [](const char* what, const std::vector<double>& ms) {
        std::printf("  %-12s median %6.2f ms   p95 %6.2f ms   max %6.2f ms\n", what,
                    percentile(ms, 0.5), percentile(ms, 0.95), percentile(ms, 1.0));
    };
    std::printf("probe answer to tray host, %d state changes\n", rounds);
    row("state line", lineMs);
    row("item text", textMs);
    const double worst = std::max(percentile(lineMs, 0.95), percentile(textMs, 0.95));
    std::printf("  goal: under 50 ms (p95 %.2f ms): %s\n", worst, worst < 50 ? "PASS" : "FAIL");
    return worst < 50 ? 0 : 1;
}
