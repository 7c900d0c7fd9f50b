// The GLib application: launch and terminate order, timers, hand-offs to the
// main thread and termination by signal, on a real main loop.
#include "platform/Platform.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace vantrel::platform {
namespace {

// Records what reaches it; the hooks act from inside the loop.
struct RecordingDelegate final : ApplicationDelegate {
    void applicationDidFinishLaunching() override {
        events.push_back("launch");
        onLaunch();
    }
    void applicationWillTerminate() override { events.push_back("terminate"); }
    void performAction(Action action) override {
        events.push_back(action == Action::refreshStatus ? "refresh" : "other");
        if (onAction) {
            onAction();
        }
    }

    std::vector<std::string> events;
    std::function<void()> onLaunch;
    std::function<void()> onAction;
};

void run(Application& application, RecordingDelegate& delegate) {
    application.setDelegate(&delegate);
    // A safety net so a broken loop fails the test instead of hanging it.
    application.scheduleOneShotTimer(10.0, [&] {
        delegate.events.push_back("timeout");
        application.terminate();
    });
    application.run();
}

TEST(GLibApplication, TimersAndHandOffsRunOnTheMainThreadInOrder) {
    auto application = createApplication();
    RecordingDelegate delegate;
    const auto mainThread = std::this_thread::get_id();
    std::shared_ptr<Timer> timer;
    std::atomic<int> handedOff{0};
    bool ranSynchronously = false;
    std::thread worker;
    constexpr int fromWorker = 200;
    delegate.onLaunch = [&] {
        EXPECT_EQ(application->createStatusItem()->button(), nullptr);
        timer = application->scheduleRepeatingTimer(0.02, Action::refreshStatus);
        bool done = false;
        application->dispatchToMain([&] { done = true; });
        ranSynchronously = done;
        worker = std::thread([&] {
            for (int i = 0; i < fromWorker; ++i) {
                application->dispatchToMain([&] {
                    EXPECT_EQ(std::this_thread::get_id(), mainThread);
                    ++handedOff;
                });
            }
        });
    };
    delegate.onAction = [&] {
        if (delegate.events.size() == 4) {
            timer->invalidate();
            // An invalidated timer stays quiet until the one-shot ends the run.
            application->scheduleOneShotTimer(0.2, [&] {
                application->terminate();
                application->terminate();
            });
        }
    };
    run(*application, delegate);
    worker.join();
    EXPECT_FALSE(ranSynchronously);
    EXPECT_EQ(handedOff.load(), fromWorker);
    EXPECT_EQ(delegate.events,
              (std::vector<std::string>{"launch", "refresh", "refresh", "refresh", "terminate"}));
}

// A terminate during launch ends the run before any timer; the termination
// signals take the same orderly path.
TEST(GLibApplication, TerminationDuringLaunchRunsTheOrderlyCleanUp) {
    for (int signal : {0, SIGTERM, SIGINT, SIGHUP}) {
        auto application = createApplication();
        RecordingDelegate delegate;
        delegate.onLaunch = [&] {
            if (signal == 0) {
                application->scheduleRepeatingTimer(0.001, Action::refreshStatus);
                application->terminate();
            } else {
                kill(getpid(), signal);
            }
        };
        run(*application, delegate);
        EXPECT_EQ(delegate.events, (std::vector<std::string>{"launch", "terminate"}))
            << strsignal(signal);
    }
}

} // namespace
} // namespace vantrel::platform
