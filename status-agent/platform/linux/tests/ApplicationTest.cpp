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

// Records what reaches it; hooks let a test act from inside the loop.
class RecordingDelegate final : public ApplicationDelegate {
  public:
    explicit RecordingDelegate(Application& application) : application_(application) {
        application_.setDelegate(this);
        // A safety net so a broken loop fails the test instead of hanging it.
        application_.scheduleOneShotTimer(10.0, [this] {
            events.push_back("timeout");
            application_.terminate();
        });
    }
    void applicationDidFinishLaunching() override {
        events.push_back("launch");
        if (onLaunch) {
            onLaunch();
        }
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

  private:
    Application& application_;
};

long countOf(const std::vector<std::string>& events, const std::string& name) {
    return std::count(events.begin(), events.end(), name);
}

TEST(GLibApplication, LaunchTimersAndTerminateInOrder) {
    auto application = createApplication();
    RecordingDelegate delegate(*application);
    std::shared_ptr<Timer> timer;
    int fired = 0;
    delegate.onLaunch = [&] {
        EXPECT_EQ(application->createStatusItem()->button(), nullptr);
        timer = application->scheduleRepeatingTimer(0.02, Action::refreshStatus);
    };
    delegate.onAction = [&] {
        if (++fired == 3) {
            timer->invalidate();
            // An invalidated timer stays quiet until the one-shot ends the run.
            application->scheduleOneShotTimer(0.2, [&] {
                application->terminate();
                application->terminate();
            });
        }
    };
    application->run();
    const std::vector<std::string> expected = {"launch", "refresh", "refresh", "refresh",
                                               "terminate"};
    EXPECT_EQ(delegate.events, expected);
}

TEST(GLibApplication, DispatchToMainRunsLaterOnTheMainThread) {
    auto application = createApplication();
    RecordingDelegate delegate(*application);
    const auto mainThread = std::this_thread::get_id();
    std::atomic<int> ran{0};
    bool ranSynchronously = false;
    std::thread worker;
    constexpr int fromWorker = 200;
    delegate.onLaunch = [&] {
        bool done = false;
        application->dispatchToMain([&] { done = true; });
        ranSynchronously = done;
        worker = std::thread([&] {
            for (int i = 0; i < fromWorker; ++i) {
                application->dispatchToMain([&] {
                    EXPECT_EQ(std::this_thread::get_id(), mainThread);
                    if (++ran == fromWorker) {
                        application->terminate();
                    }
                });
            }
        });
    };
    application->run();
    worker.join();
    EXPECT_FALSE(ranSynchronously);
    EXPECT_EQ(ran.load(), fromWorker);
    EXPECT_EQ(countOf(delegate.events, "timeout"), 0);
}

// A terminate during launch ends the run before any timer; the termination
// signals take the same orderly path.
TEST(GLibApplication, TerminationDuringLaunchRunsTheOrderlyCleanUp) {
    for (int signal : {0, SIGTERM, SIGINT, SIGHUP}) {
        auto application = createApplication();
        RecordingDelegate delegate(*application);
        delegate.onLaunch = [&] {
            if (signal == 0) {
                application->scheduleRepeatingTimer(0.001, Action::refreshStatus);
                application->terminate();
            } else {
                kill(getpid(), signal);
            }
        };
        application->run();
        EXPECT_EQ(delegate.events, (std::vector<std::string>{"launch", "terminate"}))
            << strsignal(signal);
    }
}

} // namespace
} // namespace vantrel::platform
