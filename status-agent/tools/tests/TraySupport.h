// What the tray tests share: a private session bus of their own, a client that
// makes raw D-Bus calls and records signals while the test's main loop turns,
// temporary folders, child processes and a health endpoint on the agent's port.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GVariant GVariant;

namespace vantrel::test {

// A fresh folder under the system's temporary folder, removed on destruction.
class TemporaryFolder {
  public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

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
    TemporaryFolder folder_;
    pid_t pid_ = -1;
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

// A child process with its output captured. Ended (SIGKILL) and reaped on destruction.
class Process {
  public:
    // `environment` entries are added to (or replace those of) the test's own.
    Process(const std::vector<std::string>& argv,
            const std::map<std::string, std::string>& environment);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // Waits for the exit status (nothing if still running when the time is up,
    // -signal if killed by a signal).
    std::optional<int> wait(std::chrono::milliseconds limit);
    // Everything written to standard output and error so far.
    std::string output();
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit);

  private:
    void drain(int timeoutMs);
    pid_t pid_ = -1;
    int output_ = -1;
    std::string captured_;
    std::optional<int> status_;
};

// Answers GET /healthz healthily on 127.0.0.1 at a fixed port, from one thread,
// for as long as it lives.
class HealthServer {
  public:
    explicit HealthServer(unsigned short port);
    ~HealthServer();
    HealthServer(const HealthServer&) = delete;
    HealthServer& operator=(const HealthServer&) = delete;

    bool listening() const { return listener_ >= 0; }
    // Times of the requests received so far.
    std::vector<std::chrono::steady_clock::time_point> requests() const;

  private:
    void serve();
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::vector<std::chrono::steady_clock::time_point> requests_;
    std::thread thread_;
};

} // namespace vantrel::test
