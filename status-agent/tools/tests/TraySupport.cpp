#include "TraySupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace vantrel::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

TemporaryFolder::TemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "vantrel-tray-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

namespace {

// Spawns argv with stdout (and stderr) on a pipe; returns the pid and the read end.
pid_t spawnWithPipe(const std::vector<std::string>& argv,
                    const std::map<std::string, std::string>& environment, int& readEnd,
                    bool captureErrors) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    if (captureErrors) {
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }

    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const auto equals = text.find('=');
        if (equals != std::string::npos) {
            merged[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    for (const auto& [key, value] : environment) {
        merged[key] = value;
    }
    std::vector<std::string> envText;
    for (const auto& [key, value] : merged) {
        envText.push_back(key + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& text : envText) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& arg : args) {
        argp.push_back(arg.data());
    }
    argp.push_back(nullptr);

    pid_t pid = -1;
    if (::posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    readEnd = pipeEnds[0];
    return pid;
}

} // namespace

PrivateBus::PrivateBus() {
    // No service directories: nothing can be started on this bus by name.
    const fs::path config = folder_.path() / "bus.conf";
    std::ofstream(config)
        << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)"
        << (folder_.path() / "bus").string() << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
    int readEnd = -1;
    pid_ = spawnWithPipe({"/usr/bin/dbus-daemon", "--config-file=" + config.string(), "--nofork",
                          "--nopidfile", "--print-address=1"},
                         {}, readEnd, false);
    if (pid_ < 0) {
        return;
    }
    std::string line;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    char c = 0;
    while (Clock::now() < deadline) {
        pollfd readable{readEnd, POLLIN, 0};
        if (::poll(&readable, 1, 100) <= 0) {
            continue;
        }
        if (::read(readEnd, &c, 1) != 1 || c == '\n') {
            break;
        }
        line += c;
    }
    ::close(readEnd);
    address_ = line;
}

PrivateBus::~PrivateBus() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
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

BusClient::BusClient(const std::string& address) {
    connection_ = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (connection_ == nullptr) {
        throw std::runtime_error("cannot connect to the test bus at " + address);
    }
    g_dbus_connection_set_exit_on_close(connection_, FALSE);
}

BusClient::~BusClient() {
    if (subscription_ != 0) {
        g_dbus_connection_signal_unsubscribe(connection_, subscription_);
    }
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
}

GVariant* BusClient::callRaw(const std::string& destination, const std::string& path,
                             const std::string& interface, const std::string& method,
                             const std::string& parameters) {
    GVariant* arguments = nullptr;
    if (!parameters.empty()) {
        arguments = g_variant_parse(nullptr, parameters.c_str(), nullptr, nullptr, nullptr);
        if (arguments == nullptr) {
            throw std::runtime_error("bad GVariant text: " + parameters);
        }
    }
    struct Outcome {
        bool done = false;
        GVariant* reply = nullptr;
        GError* error = nullptr;
    } outcome;
    // Asynchronous, so that an item served by this same thread can answer.
    g_dbus_connection_call(
        connection_, destination.c_str(), path.c_str(), interface.c_str(), method.c_str(),
        arguments, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* out = static_cast<Outcome*>(data);
            out->reply =
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &out->error);
            out->done = true;
        },
        &outcome);
    spinUntil([&] { return outcome.done; }, std::chrono::seconds(10));
    if (outcome.error != nullptr) {
        gchar* name = g_dbus_error_get_remote_error(outcome.error);
        const std::string message = name != nullptr ? name : outcome.error->message;
        g_free(name);
        g_error_free(outcome.error);
        throw std::runtime_error(message);
    }
    return outcome.reply;
}

CallResult BusClient::call(const std::string& destination, const std::string& path,
                           const std::string& interface, const std::string& method,
                           const std::string& parameters) {
    CallResult result;
    try {
        GVariant* reply = callRaw(destination, path, interface, method, parameters);
        if (reply == nullptr) {
            result.error = "no reply";
            return result;
        }
        gchar* text = g_variant_print(reply, FALSE);
        result.reply = text;
        result.type = g_variant_get_type_string(reply);
        g_free(text);
        g_variant_unref(reply);
    } catch (const std::runtime_error& error) {
        result.error = error.what();
    }
    return result;
}

void BusClient::recordSignalsFrom(const std::string& busName) {
    GVariant* owner = callRaw("org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus", "GetNameOwner", "('" + busName + "',)");
    const gchar* unique = nullptr;
    g_variant_get(owner, "(&s)", &unique);
    subscription_ = g_dbus_connection_signal_subscribe(
        connection_, unique, nullptr, nullptr, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar* path, const gchar* interface,
           const gchar* member, GVariant* parameters, gpointer data) {
            gchar* text = g_variant_print(parameters, FALSE);
            static_cast<std::vector<RecordedSignal>*>(data)->push_back(
                {path, interface, member, text});
            g_free(text);
        },
        &signals_, nullptr);
    g_variant_unref(owner);
}

Process::Process(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& environment) {
    pid_ = spawnWithPipe(argv, environment, output_, true);
    if (pid_ < 0) {
        throw std::runtime_error("cannot start " + argv.at(0));
    }
    ::fcntl(output_, F_SETFL, O_NONBLOCK);
}

Process::~Process() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::close(output_);
}

void Process::drain(int timeoutMs) {
    pollfd readable{output_, POLLIN, 0};
    if (::poll(&readable, 1, timeoutMs) <= 0) {
        return;
    }
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(output_, buffer, sizeof buffer)) > 0) {
        captured_.append(buffer, static_cast<std::size_t>(got));
    }
}

std::optional<int> Process::wait(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!status_) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            break;
        }
        if (Clock::now() >= deadline) {
            break;
        }
        drain(10);
    }
    drain(0);
    return status_;
}

std::string Process::output() {
    drain(0);
    return captured_;
}

bool Process::waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (captured_.find(text) == std::string::npos) {
        if (Clock::now() >= deadline) {
            return false;
        }
        drain(20);
    }
    return true;
}

HealthServer::HealthServer(unsigned short port) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
        ::close(listener_);
        listener_ = -1;
        return;
    }
    thread_ = std::thread([this] { serve(); });
}

HealthServer::~HealthServer() {
    if (thread_.joinable()) {
        [[maybe_unused]] const auto written = ::write(wake_[1], "x", 1);
        thread_.join();
    }
    for (int fd : {listener_, wake_[0], wake_[1]}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

std::vector<Clock::time_point> HealthServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void HealthServer::serve() {
    for (;;) {
        pollfd watched[2] = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            continue;
        }
        if (watched[0].revents != 0) {
            return;
        }
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        std::string request;
        char buffer[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
            pollfd readable{client, POLLIN, 0};
            const ssize_t got =
                ::poll(&readable, 1, 1000) > 0 ? ::read(client, buffer, sizeof buffer) : 0;
            if (got <= 0) {
                break;
            }
            request.append(buffer, static_cast<std::size_t>(got));
        }
        if (request.starts_with("GET /healthz ")) {
            std::lock_guard lock(mutex_);
            requests_.push_back(Clock::now());
        }
        const std::string body = R"({"service":"vantrel-local"})";
        const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                     "Content-Length: " +
                                     std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                                     body;
        ::send(client, response.data(), response.size(), MSG_NOSIGNAL);
        ::close(client);
    }
}

} // namespace vantrel::test
