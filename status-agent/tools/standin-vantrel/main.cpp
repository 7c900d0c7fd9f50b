// A stand-in for the Vantrel application, for the demo and the end-to-end
// tests. Like the real application it serves GET /healthz on 127.0.0.1:18777
// and keeps the desired-state file. Signals drive it:
//   SIGUSR1  stop the API on request ("stopped" is written first)
//   SIGUSR2  crash, leaving "running" behind
//   SIGTERM  quit
// It records what happens to it, one line per event, in Vantrel/standin.log
// under the data folder ($XDG_DATA_HOME or ~/.local/share on Linux,
// ~/Library/Application Support on macOS), since whoever launches it may give
// it no output streams at all. It leaves by itself after ten minutes, so a
// forgotten one never lingers. Plain POSIX: it is also the development bundle's
// executable on macOS.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

namespace {

constexpr std::uint16_t port = 18777;
constexpr auto lifetime = std::chrono::minutes(10);

// The write end of the self-pipe; a signal handler can reach nothing else.
int signalPipeWrite = -1;

void forwardSignal(int signal) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const auto written = ::write(signalPipeWrite, &byte, 1);
    errno = saved;
}

bool setCloseOnExec(int fd) {
    return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

bool setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// The handled signals arrive as bytes on the returned read end, so the loop
// sees them in poll like any other event. -1 when the pipe cannot be made.
int signalPipe(std::initializer_list<int> handled) {
    int ends[2];
    if (::pipe(ends) != 0) {
        return -1;
    }
    for (const int fd : ends) {
        setCloseOnExec(fd);
        setNonBlocking(fd);
    }
    signalPipeWrite = ends[1];
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : handled) {
        ::sigaction(signal, &action, nullptr);
    }
    return ends[0];
}

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
        const passwd* entry = getpwuid(getuid());
        home = entry != nullptr ? entry->pw_dir : "/";
    }
    return home;
}

#if defined(__APPLE__)
std::string dataHome() {
    return homeFolder() + "/Library/Application Support";
}
#else
std::string dataHome() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return xdg;
    }
    return homeFolder() + "/.local/share";
}
#endif

void makeDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "standin-vantrel: cannot create %s: %s\n", path.c_str(),
                     std::strerror(errno));
    }
}

struct Paths {
    std::string vantrel;
    std::string runtime;
    std::string desiredState;
    std::string log;
};

Paths paths() {
    Paths p;
    const std::string base = dataHome();
    p.vantrel = base + "/Vantrel";
    p.runtime = p.vantrel + "/runtime";
    p.desiredState = p.runtime + "/desired-state";
    p.log = p.vantrel + "/standin.log";
    return p;
}

void note(const Paths& p, const std::string& event) {
    const int fd = ::open(p.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    char head[64];
    std::snprintf(head, sizeof head, "%.3f %d ", now, static_cast<int>(::getpid()));
    const std::string line = head + event + "\n";
    // One write per line, so lines of several instances never interleave.
    [[maybe_unused]] const auto written = ::write(fd, line.data(), line.size());
    ::close(fd);
}

// Written to a temporary file and renamed, so a reader never sees half a word.
bool writeDesiredState(const Paths& p, const char* word) {
    const std::string temporary = p.desiredState + ".tmp";
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return false;
    }
    const std::string text = std::string(word) + "\n";
    const bool ok = ::fchmod(fd, 0600) == 0 &&
                    ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                    ::fsync(fd) == 0;
    ::close(fd);
    return ok && ::rename(temporary.c_str(), p.desiredState.c_str()) == 0;
}

int listenOnApiPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    setCloseOnExec(fd);
    setNonBlocking(fd);
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads one request (a second at most) and answers it.
void answer(int client) {
    std::string request;
    char buffer[2048];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
        pollfd readable{client, POLLIN, 0};
        if (::poll(&readable, 1, 1000) <= 0) {
            return;
        }
        const ssize_t got = ::read(client, buffer, sizeof buffer);
        if (got <= 0) {
            return;
        }
        request.append(buffer, static_cast<std::size_t>(got));
    }
    const bool health = request.starts_with("GET /healthz ");
    const std::string body =
        health ? R"({"service":"vantrel-local","version":"standin"})" : R"({"error":"not found"})";
    const std::string response =
        std::string(health ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not Found") +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    // SIGPIPE is ignored: a client that has gone costs nothing.
    [[maybe_unused]] const auto written = ::send(client, response.data(), response.size(), 0);
}

} // namespace

int main(int argc, char** argv) {
    const Paths p = paths();
    makeDirectory(dataHome());
    makeDirectory(p.vantrel);
    makeDirectory(p.runtime);

    std::string arguments;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) {
            arguments += ' ';
        }
        arguments += argv[i];
    }
    note(p, "started [" + arguments + "]");

    ::signal(SIGPIPE, SIG_IGN);
    const int signals = signalPipe({SIGUSR1, SIGUSR2, SIGTERM, SIGINT, SIGHUP});

    // The application means its API to run from here on.
    writeDesiredState(p, "running");
    int listener = listenOnApiPort();
    note(p, listener >= 0 ? "serving" : "port busy, no API");

    const auto deadline = std::chrono::steady_clock::now() + lifetime;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd watched[2] = {{signals, POLLIN, 0}, {listener, POLLIN, 0}};
        if (::poll(watched, listener >= 0 ? 2 : 1, 1000) < 0 && errno != EINTR) {
            break;
        }
        if ((watched[0].revents & POLLIN) != 0) {
            unsigned char received = 0;
            if (::read(signals, &received, 1) != 1) {
                continue;
            }
            if (received == SIGUSR1) {
                // A stop on request: the word goes first, or the agent takes the
                // stop for a failure.
                writeDesiredState(p, "stopped");
                if (listener >= 0) {
                    ::close(listener);
                    listener = -1;
                }
                note(p, "stopped on request");
            } else if (received == SIGUSR2) {
                note(p, "crashing");
                const rlimit noCore{0, 0};
                ::setrlimit(RLIMIT_CORE, &noCore);
                std::abort();
            } else {
                note(p, "quit");
                return 0;
            }
        }
        if (listener >= 0 && (watched[1].revents & POLLIN) != 0) {
            // No accept4 on macOS; nothing is spawned between the two calls.
            const int client = ::accept(listener, nullptr, nullptr);
            if (client >= 0) {
                setCloseOnExec(client);
                answer(client);
                ::close(client);
            }
        }
    }
    note(p, "lifetime over");
    return 0;
}
