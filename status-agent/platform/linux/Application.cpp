// The application on a GLib main loop: launch and terminate notifications,
// timers, hand-offs to the main thread, and termination on the signals a
// log-out or a terminal sends.
#include "platform/Platform.h"
#include "platform/linux/TrayStatusItem.h"

#include <glib-unix.h>
#include <glib.h>

#include <algorithm>
#include <cmath>
#include <csignal>

namespace vantrel::platform {
namespace {

// Without a session bus there is no tray to show the item in: it has no button,
// which the core already handles, and its menu stays in memory.
class MemoryStatusItem final : public StatusItem {
  public:
    StatusButton* button() override { return nullptr; }
    void setMenu(std::shared_ptr<Menu> menu) override { menu_ = std::move(menu); }

  private:
    std::shared_ptr<Menu> menu_;
};

guint toTimeoutMilliseconds(double seconds) {
    if (!(seconds > 0)) {
        return 0;
    }
    const double ms = std::round(seconds * 1000.0);
    return ms >= static_cast<double>(G_MAXUINT) ? G_MAXUINT : static_cast<guint>(ms);
}

class GLibApplication;

// A repeating timer. The source holds a reference to this state, so the timer
// keeps firing whether or not anyone still holds the handle, until invalidated.
class GLibTimer final : public Timer, public std::enable_shared_from_this<GLibTimer> {
  public:
    GLibTimer(GLibApplication& application, Action action)
        : application_(&application), action_(action) {}

    void start(double intervalSeconds) {
        // At least 1 ms, so that a zero interval cannot spin the loop.
        const guint interval = std::max(1u, toTimeoutMilliseconds(intervalSeconds));
        auto* self = new std::shared_ptr<GLibTimer>(shared_from_this());
        source_ = g_timeout_add_full(
            G_PRIORITY_DEFAULT, interval, &GLibTimer::fire, self,
            [](gpointer data) { delete static_cast<std::shared_ptr<GLibTimer>*>(data); });
    }

    bool isScheduled() const { return source_ != 0; }

    void invalidate() override {
        if (source_ != 0) {
            const guint source = source_;
            source_ = 0;
            g_source_remove(source);
        }
    }

  private:
    static gboolean fire(gpointer data);

    GLibApplication* application_;
    Action action_;
    guint source_ = 0;
};

class GLibApplication final : public Application {
  public:
    GLibApplication() : loop_(g_main_loop_new(nullptr, FALSE)) {
        for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
            signalSources_.push_back(g_unix_signal_add(signal, &GLibApplication::onSignal, this));
        }
    }

    GLibApplication(const GLibApplication&) = delete;
    GLibApplication& operator=(const GLibApplication&) = delete;

    ~GLibApplication() override {
        for (guint source : signalSources_) {
            g_source_remove(source);
        }
        for (auto& timer : timers_) {
            timer->invalidate();
        }
        for (guint source : oneShotSources_) {
            g_source_remove(source);
        }
        if (launchSource_ != 0) {
            g_source_remove(launchSource_);
        }
        g_main_loop_unref(loop_);
    }

    void setDelegate(ApplicationDelegate* delegate) override { delegate_ = delegate; }

    // A process without windows gets no dock entry or menu bar on a Linux
    // desktop, so there is nothing to switch off.
    void setActivationPolicyAccessory() override {}

    void run() override {
        if (terminated_) {
            return;
        }
        launchSource_ = g_idle_add_full(G_PRIORITY_HIGH, &GLibApplication::onLaunch, this, nullptr);
        g_main_loop_run(loop_);
    }

    void terminate() override {
        if (terminated_) {
            return;
        }
        terminated_ = true;
        if (delegate_ != nullptr) {
            delegate_->applicationWillTerminate();
        }
        g_main_loop_quit(loop_);
    }

    std::shared_ptr<StatusItem> createStatusItem() override {
        if (auto item = tray::createTrayStatusItem([this](Action action) { perform(action); })) {
            return item;
        }
        return std::make_shared<MemoryStatusItem>();
    }

    std::shared_ptr<Menu> createMenu() override { return tray::createTrayMenu(); }

    std::shared_ptr<Timer> scheduleRepeatingTimer(double intervalSeconds, Action action) override {
        std::erase_if(timers_, [](const auto& timer) { return !timer->isScheduled(); });
        auto timer = std::make_shared<GLibTimer>(*this, action);
        timer->start(intervalSeconds);
        timers_.push_back(timer);
        return timer;
    }

    void scheduleOneShotTimer(double intervalSeconds, std::function<void()> block) override {
        auto* shot = new OneShot{this, std::move(block), 0};
        shot->source = g_timeout_add_full(
            G_PRIORITY_DEFAULT, toTimeoutMilliseconds(intervalSeconds), &GLibApplication::onOneShot,
            shot, [](gpointer data) { delete static_cast<OneShot*>(data); });
        oneShotSources_.push_back(shot->source);
    }

    // An idle source on the default context: thread-safe, wakes the loop, and
    // always runs later, also when called from the main thread itself.
    void dispatchToMain(std::function<void()> block) override {
        GSource* source = g_idle_source_new();
        g_source_set_priority(source, G_PRIORITY_DEFAULT);
        g_source_set_callback(
            source,
            [](gpointer data) -> gboolean {
                (*static_cast<std::function<void()>*>(data))();
                return G_SOURCE_REMOVE;
            },
            new std::function<void()>(std::move(block)),
            [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
        g_source_attach(source, nullptr);
        g_source_unref(source);
    }

    void perform(Action action) {
        if (delegate_ != nullptr) {
            delegate_->performAction(action);
        }
    }

  private:
    struct OneShot {
        GLibApplication* application;
        std::function<void()> block;
        guint source;
    };

    static gboolean onLaunch(gpointer data) {
        auto* self = static_cast<GLibApplication*>(data);
        self->launchSource_ = 0;
        // A signal that arrived before the loop ran has already terminated.
        if (!self->terminated_ && self->delegate_ != nullptr) {
            self->delegate_->applicationDidFinishLaunching();
        }
        return G_SOURCE_REMOVE;
    }

    static gboolean onSignal(gpointer data) {
        static_cast<GLibApplication*>(data)->terminate();
        return G_SOURCE_CONTINUE;
    }

    static gboolean onOneShot(gpointer data) {
        auto* shot = static_cast<OneShot*>(data);
        auto& sources = shot->application->oneShotSources_;
        sources.erase(std::remove(sources.begin(), sources.end(), shot->source), sources.end());
        shot->block();
        return G_SOURCE_REMOVE;
    }

    GMainLoop* loop_;
    ApplicationDelegate* delegate_ = nullptr;
    bool terminated_ = false;
    guint launchSource_ = 0;
    std::vector<guint> signalSources_;
    std::vector<std::shared_ptr<GLibTimer>> timers_;
    std::vector<guint> oneShotSources_;
};

gboolean GLibTimer::fire(gpointer data) {
    auto& timer = **static_cast<std::shared_ptr<GLibTimer>*>(data);
    timer.application_->perform(timer.action_);
    return G_SOURCE_CONTINUE;
}

} // namespace

std::unique_ptr<Application> createApplication() {
    return std::make_unique<GLibApplication>();
}

} // namespace vantrel::platform
