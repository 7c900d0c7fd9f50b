// The libcurl client and the probe's judge against a real loopback server. What
// the judge makes of each kind of body is in HealthProbeTest; here it meets HTTP.
#include "HealthProbe.h"
#include "LoopbackServer.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

namespace vantrel::platform {
namespace {

using namespace std::chrono_literals;
using test::LoopbackServer;
using Clock = std::chrono::steady_clock;
using Mode = LoopbackServer::Mode;

constexpr size_t oneMiB = size_t{1024} * 1024;

// The limits the agent's probe uses.
HttpRequest probe(std::string url) {
    HttpRequest request;
    request.url = std::move(url);
    request.idleTimeoutSeconds = 1.5;
    request.totalTimeoutSeconds = 5.0;
    request.maxBodyBytes = oneMiB;
    return request;
}

struct Outcome {
    std::optional<HttpResponse> response;
    std::thread::id thread;
    double seconds = 0;
};

std::future<Outcome> start(HttpClient& client, const HttpRequest& request) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    const auto started = Clock::now();
    client.get(request, [promise, started](std::optional<HttpResponse> response) {
        const std::chrono::duration<double> took = Clock::now() - started;
        promise->set_value({std::move(response), std::this_thread::get_id(), took.count()});
    });
    return promise->get_future();
}

Outcome wait(std::future<Outcome>& future) {
    if (future.wait_for(20s) != std::future_status::ready) {
        ADD_FAILURE() << "no completion within 20 s";
        return {};
    }
    return future.get();
}

long threadCount() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                         std::filesystem::directory_iterator());
}

LoopbackServer::Script answer(int status, std::string_view body, std::string_view headers = {}) {
    return {Mode::answer, LoopbackServer::response(status, body, headers)};
}

// A healthy answer padded with spaces to exactly `size` bytes.
std::string healthyBodyOfSize(size_t size) {
    std::string body = R"({"service":"vantrel-local"})";
    body.append(size - body.size(), ' ');
    return body;
}

TEST(CurlHttpClient, ProbeVerdictsOnRealAnswers) {
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n"
                                "Connection: close\r\n\r\n"
                                "e\r\n{\"service\":\"va\r\n"
                                "d\r\nntrel-local\"}\r\n0\r\n\r\n";
    LoopbackServer server({
        {"/plain", answer(200, R"({"service":"vantrel-local"})")},
        {"/redirect", answer(302, "", "Location: /plain\r\n")},
        {"/redirect-twice", answer(302, "moved", "Location: /redirect\r\n")},
        {"/chunked", {Mode::answer, chunked}},
        {"/not-http", {Mode::answer, "hello there\r\n\r\n"}},
        {"/cap", answer(200, healthyBodyOfSize(oneMiB))},
        {"/over-cap", answer(200, healthyBodyOfSize(oneMiB + 1))},
    });
    struct Case {
        std::string path;
        // Healthy after redirects also means no redirect body reached the caller.
        bool healthy;
        std::optional<long> status; // nothing: no response at all
    };
    const std::vector<Case> cases = {
        {"/plain", true, 200},
        {"/missing", false, 404},
        {"/redirect-twice", true, 200},
        {"/chunked", true, 200},
        {"/not-http", false, std::nullopt},
        {"/cap", true, 200},
        {"/over-cap", false, std::nullopt},
        {"http://127.0.0.1:1/", false, std::nullopt}, // nothing listens there
    };

    // A proxy in the environment must not divert the probe: were it used,
    // every request would fail.
    const std::vector<std::string> proxies = {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"};
    for (const auto& name : proxies) {
        setenv(name.c_str(), "http://127.0.0.1:1", 1);
    }
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    auto client = createHttpClient();
    std::vector<std::future<Outcome>> pending;
    for (const auto& c : cases) {
        const bool url = c.path.rfind("http", 0) == 0;
        pending.push_back(start(*client, probe(url ? c.path : server.url(c.path))));
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        const Outcome outcome = wait(pending[i]);
        SCOPED_TRACE(cases[i].path);
        EXPECT_EQ(isHealthyResponse(*createSystem(), outcome.response), cases[i].healthy);
        EXPECT_EQ(outcome.response ? std::optional<long>(outcome.response->statusCode)
                                   : std::nullopt,
                  cases[i].status);
        EXPECT_NE(outcome.thread, std::this_thread::get_id());
    }
    for (const auto& name : proxies) {
        unsetenv(name.c_str());
    }
}

// Twenty silent requests and a trickling one are served side by side on the
// client's one thread: the idle limit ends the silent ones, the total limit
// the trickling one (a byte a second never trips the idle limit).
TEST(CurlHttpClient, SilentAndTricklingServersAreGivenUpSideBySide) {
    LoopbackServer server({
        {"/silent", {Mode::neverAnswer, ""}},
        {"/trickle", {Mode::trickle, LoopbackServer::response(200, healthyBodyOfSize(200))}},
    });
    auto client = createHttpClient();
    const long threadsBefore = threadCount();
    constexpr int silentCount = 20;
    const auto began = Clock::now();
    auto trickle = start(*client, probe(server.url("/trickle")));
    std::vector<std::future<Outcome>> silent;
    silent.reserve(silentCount);
    for (int i = 0; i < silentCount; ++i) {
        silent.push_back(start(*client, probe(server.url("/silent"))));
    }
    while (server.openConnections() < silentCount + 1 && Clock::now() - began < 3s) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(server.openConnections(), silentCount + 1);
    EXPECT_EQ(threadCount(), threadsBefore);
    for (auto& future : silent) {
        const Outcome quiet = wait(future);
        EXPECT_FALSE(quiet.response.has_value());
        EXPECT_GE(quiet.seconds, 1.4); // the idle limit, not some earlier failure
        EXPECT_LT(quiet.seconds, 4.0); // one after another would take 30 s
    }
    const Outcome slow = wait(trickle);
    EXPECT_FALSE(slow.response.has_value());
    EXPECT_GE(slow.seconds, 4.5);
    EXPECT_LT(slow.seconds, 8.0);
    EXPECT_EQ(threadCount(), threadsBefore);
}

TEST(CurlHttpClient, ReleasingTheClientAbandonsRequestsWithoutWaiting) {
    LoopbackServer server({{"/silent", {Mode::neverAnswer, ""}}});
    auto client = createHttpClient();
    auto witness = std::make_shared<int>(0);
    std::weak_ptr<int> watch = witness;
    bool called = false;
    HttpRequest request = probe(server.url("/silent"));
    request.idleTimeoutSeconds = 60;
    request.totalTimeoutSeconds = 60;
    client->get(request, [witness, &called](const std::optional<HttpResponse>&) { called = true; });
    witness.reset();
    while (server.openConnections() < 1) {
        std::this_thread::sleep_for(10ms);
    }

    const auto began = Clock::now();
    client.reset();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - began).count(), 5.0);
    EXPECT_FALSE(called);
    EXPECT_TRUE(watch.expired()) << "the abandoned completion is released";

    // A completion may also drop the last reference to the client itself.
    auto last = createHttpClient();
    std::promise<void> done;
    HttpClient* raw = last.get();
    auto holder = std::make_shared<std::shared_ptr<HttpClient>>(std::move(last));
    raw->get(probe(server.url("/missing")), [holder, &done](const std::optional<HttpResponse>&) {
        holder->reset();
        done.set_value();
    });
    holder.reset();
    EXPECT_EQ(done.get_future().wait_for(20s), std::future_status::ready);
}

} // namespace
} // namespace vantrel::platform
