// A private D-Bus session bus for tests and benchmarks.
#pragma once

#include "ChildProcess.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace vantrel::test {

// A dbus-daemon of the test's own, with a configuration that starts no
// services; the daemon is ended with the object. Nothing here touches the
// environment: callers hand the address to whatever should use this bus.
class PrivateBus {
  public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Empty when the daemon could not be started.
    const std::string& address() const { return address_; }

  private:
    std::unique_ptr<ChildProcess> daemon_;
    std::string address_;
};

// Turns the thread's default main loop until `done` holds or the time is up.
bool spinUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(5));

} // namespace vantrel::test
