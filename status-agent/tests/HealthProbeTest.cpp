// The probe: the response judge, and how each result moves the state line,
// the button, the failure counter and recovery.
#include "HealthProbe.h"
#include "FakeAgent.h"

#include <gtest/gtest.h>

#include <thread>

namespace vantrel::test {
namespace {

using platform::HttpResponse;

// The judge on the parser's answers: only status 200 with a body whose
// "service" member is exactly "vantrel-local" is healthy.
TEST(HealthProbe, JudgesResponses) {
    struct Case {
        const char* name;
        std::optional<HttpResponse> response;
        std::optional<std::string> service; // the parser's answer for the body
        bool healthy;
    };
    const std::string body = "the body";
    const auto ok = HttpResponse{200, body};
    const Case cases[] = {
        {"expected answer", ok, "vantrel-local", true},
        {"no response", std::nullopt, "vantrel-local", false},
        {"204", HttpResponse{204, body}, "vantrel-local", false},
        {"no body", HttpResponse{200, std::nullopt}, "vantrel-local", false},
        {"no string member", ok, std::nullopt, false},
        {"other service", ok, "other", false},
        {"trailing space", ok, "vantrel-local ", false},
    };
    for (const auto& c : cases) {
        fake::System system;
        if (c.service) {
            system.jsonMembers[{body, "service"}] = *c.service;
        }
        EXPECT_EQ(isHealthyResponse(system, c.response), c.healthy) << c.name;
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
        bool relaunched;
        bool desiredStateRead;
    };
    const char* running = "Local API: Running";
    const char* interrupted = "Local API: Interrupted";
    const char* stopped = "Local API: Stopped";
    const char* recovering = "Local API: Recovering\u2026";
    const Case cases[] = {
        {"healthy", "running\n", true, false, 1, 0, running, "VT \u25CF", false, false},
        {"healthy, no file", std::nullopt, true, false, 3, 0, running, "VT \u25CF", false, false},
        {"first failure", "running\n", false, false, 0, 1, interrupted, "VT \u25CB", false, true},
        // The relaunch resets the counter.
        {"second failure", "running\n", false, false, 1, 0, recovering, "VT \u25CB", true, true},
        {"later failure", "running\n", false, false, 5, 0, recovering, "VT \u25CB", true, true},
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
        agent.system->executables =
            std::set<std::string>{"/Applications/Vantrel.app/Contents/MacOS/Vantrel"};
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
        EXPECT_EQ(agent.system->launches.size(), c.relaunched ? 1u : 0u);
        // The desired state is read only after a failed probe.
        EXPECT_EQ(agent.system->supportDirectoryQueries - queriesBefore,
                  c.desiredStateRead ? 1 : 0);
    }
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

// The client answers on a thread of its own; nothing changes until the main
// thread runs the hand-off, and then only while the delegate lives.
TEST(HealthProbe, ResultIsAppliedOnTheMainThreadWhileTheDelegateLives) {
    Agent agent;
    agent.writeDesiredState("running\n");
    agent.launch();
    std::thread([&] { agent.http->completeNext(healthyResponse()); }).join();
    EXPECT_EQ(agent.stateTitle(), "Local API: Checking\u2026");
    EXPECT_EQ(agent.app.drainMainQueue(), 1u);
    EXPECT_EQ(agent.stateTitle(), "Local API: Running");
    EXPECT_EQ(agent.buttonTitle(), "VT \u25CF");

    agent.delegate->performAction(platform::Action::refreshStatus);
    agent.app.terminate();
    agent.app.setDelegate(nullptr);
    std::weak_ptr<StatusMenuDelegate> weak = agent.delegate;
    agent.delegate.reset();
    // A pending request does not keep the delegate alive.
    ASSERT_TRUE(weak.expired());
    const int queries = agent.system->supportDirectoryQueries;
    agent.http->completeNext(std::nullopt);
    EXPECT_EQ(agent.app.drainMainQueue(), 1u);
    EXPECT_EQ(agent.stateTitle(), "Local API: Running");
    EXPECT_EQ(agent.system->supportDirectoryQueries, queries);
}

} // namespace
} // namespace vantrel::test
