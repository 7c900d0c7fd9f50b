// The probe: the response judge, and how each result moves the state line,
// the button, the failure counter and recovery.
#include "HealthProbe.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <thread>

namespace vantrel::test {
namespace {

using platform::HttpResponse;

// The judge on the Linux backend's JSON reader.
TEST(HealthProbe, JudgesResponses) {
    struct Case {
        const char* name;
        std::optional<HttpResponse> response;
        bool healthy;
    };
    const auto ok = [](std::optional<std::string> body) { return HttpResponse{200, body}; };
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const Case cases[] = {
        {"expected answer", ok(R"({"service":"vantrel-local"})"), true},
        {"extra keys", ok(R"({"version":"2.1","service":"vantrel-local","up":true,"n":[1]})"),
         true},
        {"white space and a nested key",
         ok(" \n{ \"service\" : \"vantrel-local\" , \"other\" : {\"service\": 1} }\r\n "), true},
        {"escapes", ok(R"({"servic\u0065":"vantrel\u002d\u006cocal"})"), true},
        {"the last of two keys counts", ok(R"({"service":"other","service":"vantrel-local"})"),
         true},
        {"deep nesting beside the key", ok(R"({"service":"vantrel-local","x":)" + deep + "}"),
         true},
        {"no response", std::nullopt, false},
        {"204", HttpResponse{204, R"({"service":"vantrel-local"})"}, false},
        {"201", HttpResponse{201, R"({"service":"vantrel-local"})"}, false},
        {"500", HttpResponse{500, R"({"service":"vantrel-local"})"}, false},
        {"no body", ok(std::nullopt), false},
        {"empty body", ok(""), false},
        {"trailing space", ok(R"({"service":"vantrel-local "})"), false},
        {"capitalised", ok(R"({"service":"Vantrel-local"})"), false},
        {"other service", ok(R"({"service":"other"})"), false},
        {"overwritten by a later key", ok(R"({"service":"vantrel-local","service":"x"})"), false},
        {"key in capitals", ok(R"({"Service":"vantrel-local"})"), false},
        {"number", ok(R"({"service":42})"), false},
        {"true", ok(R"({"service":true})"), false},
        {"null", ok(R"({"service":null})"), false},
        {"nested", ok(R"({"service":{"name":"vantrel-local"}})"), false},
        {"in an array", ok(R"({"service":["vantrel-local"]})"), false},
        {"array", ok(R"([{"service":"vantrel-local"}])"), false},
        {"bare string", ok(R"("vantrel-local")"), false},
        {"no service key", ok(R"({"status":"ok"})"), false},
        {"not JSON", ok("service: vantrel-local"), false},
        {"single quotes", ok(R"({'service':'vantrel-local'})"), false},
        {"truncated", ok(R"({"service":"vantrel-local")"), false},
        {"trailing comma", ok(R"({"service":"vantrel-local",})"), false},
        {"trailing text", ok(R"({"service":"vantrel-local"} trailing)"), false},
        {"text after a NUL", ok(std::string(R"({"service":"vantrel-local"})") + '\0' + " x"),
         false},
        {"invalid UTF-8", ok("{\"service\":\"vantrel-local\",\"x\":\"\xff\"}"), false},
        {"deep nesting alone", ok(deep), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isHealthyResponse(c.response), c.healthy) << c.name;
    }
}

// One probe result applied to an agent whose counter already stands at a value.
TEST(HealthProbe, ResultTable) {
    struct Case {
        const char* name;
        std::optional<std::string> desiredState; // file content; none: no file
        bool healthy;
        bool smoke;
        std::int64_t failuresBefore;
        std::int64_t failuresAfter;
        const char* stateLine;
        const char* button;
        bool recoveryAsked;
        bool desiredStateRead;
    };
    const char* running = "Local API: Running";
    const char* interrupted = "Local API: Interrupted";
    const char* stopped = "Local API: Stopped";
    // Recovery finds no executable here, so asking for it shows as this line.
    const char* unavailable = "Local API: Recovery unavailable";
    const Case cases[] = {
        {"healthy", "running\n", true, false, 1, 0, running, "VT \u25CF", false, false},
        {"healthy, no file", std::nullopt, true, false, 3, 0, running, "VT \u25CF", false, false},
        {"first failure", "running\n", false, false, 0, 1, interrupted, "VT \u25CB", false, true},
        {"second failure", "running\n", false, false, 1, 2, unavailable, "VT \u25CB", true, true},
        {"later failure", "running\n", false, false, 5, 6, unavailable, "VT \u25CB", true, true},
        {"stopped", "stopped\n", false, false, 3, 0, stopped, "VT \u25CB", false, true},
        {"no file", std::nullopt, false, false, 3, 0, stopped, "VT \u25CB", false, true},
        {"unusable file", "Running\n", false, false, 1, 0, stopped, "VT \u25CB", false, true},
        {"smoke, first", "running\n", false, true, 0, 1, interrupted, "VT \u25CB", false, true},
        {"smoke, later", "running\n", false, true, 7, 8, interrupted, "VT \u25CB", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Agent agent(c.smoke ? std::vector<std::string>{"vantrel-status", "--smoke"}
                            : std::vector<std::string>{"vantrel-status"});
        agent.system->executables.emplace();
        if (c.desiredState) {
            agent.writeDesiredState(*c.desiredState);
        }
        agent.launch();
        agent.failures() = c.failuresBefore;
        const int queriesBefore = agent.system->supportDirectoryQueries;

        agent.answerProbe(c.healthy ? std::optional(healthyResponse()) : std::nullopt);

        EXPECT_EQ(agent.failures(), c.failuresAfter);
        EXPECT_EQ(agent.stateTitle(), c.stateLine);
        EXPECT_EQ(agent.buttonTitle(), c.button);
        EXPECT_EQ(agent.system->executableChecks.size(), c.recoveryAsked ? 1u : 0u);
        EXPECT_TRUE(agent.system->launches.empty());
        // The desired state is read only after a failed probe.
        EXPECT_EQ(agent.system->supportDirectoryQueries - queriesBefore,
                  c.desiredStateRead ? 1 : 0);
    }
}

TEST(HealthProbe, ResultWaitsForTheMainThread) {
    Agent agent;
    agent.launch();
    // The client answers on a thread of its own; nothing changes until the
    // main thread runs the hand-off.
    std::thread clientThread([&] { agent.http->completeNext(healthyResponse()); });
    clientThread.join();
    EXPECT_EQ(agent.stateTitle(), "Local API: Checking\u2026");
    EXPECT_EQ(agent.buttonTitle(), "VT");
    EXPECT_EQ(agent.app.pendingMainBlocks(), 1u);
    EXPECT_EQ(agent.app.drainMainQueue(), 1u);
    EXPECT_EQ(agent.stateTitle(), "Local API: Running");
    EXPECT_EQ(agent.buttonTitle(), "VT \u25CF");
}

// Through real probes: the failure shows first, then recovery's line replaces it.
TEST(HealthProbe, SecondFailureInARowShowsTheInterruptionThenRelaunches) {
    Agent agent;
    agent.system->executables =
        std::set<std::string>{"/Applications/Vantrel.app/Contents/MacOS/Vantrel"};
    agent.writeDesiredState("running\n");
    agent.launch();
    agent.answerProbe(std::nullopt);
    agent.system->clock += 5;
    agent.probe(std::nullopt);
    EXPECT_EQ(agent.system->launches.size(), 1u);
    EXPECT_EQ(agent.failures(), 0);
    EXPECT_EQ(agent.stateTitle(), "Local API: Recovering\u2026");
    const auto& history = agent.stateItem().titleHistory;
    ASSERT_GE(history.size(), 2u);
    EXPECT_EQ(history[history.size() - 2], "Local API: Interrupted");
}

TEST(HealthProbe, ProbesInFlightTogetherCountSeparately) {
    Agent agent;
    agent.system->executables.emplace();
    agent.writeDesiredState("running");
    agent.launch();
    agent.delegate->performAction(platform::Action::refreshStatus);
    ASSERT_EQ(agent.http->pendingRequests(), 2u);

    agent.http->completeNext(std::nullopt);
    agent.http->completeNext(std::nullopt);
    agent.app.drainMainQueue();
    EXPECT_EQ(agent.failures(), 2);
    EXPECT_EQ(agent.system->executableChecks.size(), 1u);
}

TEST(HealthProbe, DesiredStateIsReadAfreshOnEveryFailure) {
    struct Step {
        std::optional<std::string> desiredState; // none: no file
        std::int64_t failures;
        const char* stateLine;
    };
    const Step steps[] = {
        {"running\n", 1, "Local API: Interrupted"},
        {"stopped\n", 0, "Local API: Stopped"},
        {"running\n", 1, "Local API: Interrupted"},
        {std::nullopt, 0, "Local API: Stopped"},
    };
    Agent agent;
    agent.system->executables.emplace();
    agent.launch();
    for (const auto& step : steps) {
        SCOPED_TRACE(step.desiredState.value_or("no file"));
        step.desiredState ? agent.writeDesiredState(*step.desiredState)
                          : agent.removeDesiredState();
        agent.probe(std::nullopt);
        EXPECT_EQ(agent.failures(), step.failures);
        EXPECT_EQ(agent.stateTitle(), step.stateLine);
    }
    EXPECT_TRUE(agent.system->executableChecks.empty());
}

TEST(HealthProbe, ResultArrivingAfterTheDelegateIsGoneChangesNothing) {
    Agent agent;
    agent.writeDesiredState("running\n");
    agent.launch();
    agent.app.terminate();
    agent.app.setDelegate(nullptr);

    std::weak_ptr<StatusMenuDelegate> weak = agent.delegate;
    agent.delegate.reset();
    // A pending request does not keep the delegate alive.
    ASSERT_TRUE(weak.expired());
    const int queries = agent.system->supportDirectoryQueries;

    agent.http->completeNext(std::nullopt);
    EXPECT_EQ(agent.app.drainMainQueue(), 1u);
    EXPECT_EQ(agent.stateTitle(), "Local API: Checking\u2026");
    EXPECT_EQ(agent.buttonTitle(), "VT");
    EXPECT_EQ(agent.system->supportDirectoryQueries, queries);
}

} // namespace
} // namespace vantrel::test
