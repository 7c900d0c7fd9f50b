#include "PrivateBus.h"

#include <gio/gio.h>
#include <signal.h>

namespace vantrel::test {

using Clock = std::chrono::steady_clock;

PrivateBus::PrivateBus() {
    // The configuration starts no services: nothing can be started on this bus by name.
    try {
        daemon_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/dbus-daemon",
                                     std::string("--config-file=") + VANTREL_PRIVATE_BUS_CONFIG,
                                     "--nofork", "--nopidfile", "--print-address=1"},
            std::map<std::string, std::string>{}, ChildProcess::Errors::discarded);
    } catch (const std::exception&) {
        return;
    }
    if (waitUntil([&] { return daemon_->output().find('\n') != std::string::npos; },
                  std::chrono::seconds(10))) {
        const std::string printed = daemon_->output();
        address_ = printed.substr(0, printed.find('\n'));
    }
}

PrivateBus::~PrivateBus() {
    // Ended in order, so that the daemon removes its socket.
    if (daemon_) {
        ::kill(daemon_->pid(), SIGTERM);
        daemon_->wait(std::chrono::seconds(5));
    }
}

bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    // A steady tick, so that a condition that changes without a source firing
    // (another process, another thread) is still noticed.
    const guint tick = g_timeout_add(
        10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    bool met = done();
    while (!met && Clock::now() < deadline) {
        g_main_context_iteration(nullptr, TRUE);
        met = done();
    }
    g_source_remove(tick);
    return met;
}

} // namespace vantrel::test
