// A private D-Bus session bus for tests and benchmarks, and a client that
// makes raw calls and records signals while the test's main loop turns.
#pragma once

#include "ChildProcess.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GVariant GVariant;

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

// The outcome of a raw call: the reply printed in GVariant text form, or the
// D-Bus error's name.
struct CallResult {
    std::string reply;
    std::string error;
    // Type of the reply, e.g. "(u(ia{sv}av))".
    std::string type;
};

struct RecordedSignal {
    std::string path;
    std::string interface;
    std::string member;
    std::string arguments; // GVariant text form
};

// A connection of the test's own to a bus.
class BusClient {
  public:
    explicit BusClient(const std::string& address);
    ~BusClient();
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    // Parameters in GVariant text form, e.g. "(0, -1, @as [])"; empty for none.
    CallResult call(const std::string& destination, const std::string& path,
                    const std::string& interface, const std::string& method,
                    const std::string& parameters = {});
    // Raw GVariant access for the caller; the reply is owned by the caller (unref it).
    GVariant* callRaw(const std::string& destination, const std::string& path,
                      const std::string& interface, const std::string& method,
                      const std::string& parameters = {});

    // Records every signal sent by the current owner of `busName` from now on.
    void recordSignalsFrom(const std::string& busName);
    const std::vector<RecordedSignal>& signals() const { return signals_; }
    void clearSignals() { signals_.clear(); }

  private:
    GDBusConnection* connection_ = nullptr;
    unsigned subscription_ = 0;
    std::vector<RecordedSignal> signals_;
};

} // namespace vantrel::test
