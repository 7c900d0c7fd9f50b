#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace vantrel::test {

using Clock = std::chrono::steady_clock;

struct LoopbackServer::Connection {
    int fd = -1;
    std::string request;
    bool requestRead = false;
    Script script;
    unsigned routesVersion = 0;
    size_t sent = 0;
    Clock::time_point nextByte;
};

std::string LoopbackServer::response(int status, std::string_view body,
                                     std::string_view extraHeaders) {
    std::string text = "HTTP/1.1 " + std::to_string(status) + " Status\r\n";
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    text += "Connection: close\r\n";
    text += extraHeaders;
    text += "\r\n";
    text += body;
    return text;
}

LoopbackServer::LoopbackServer(std::map<std::string, Script> routes, unsigned short port)
    : routes_(std::move(routes)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // A fixed port may still have connections of an earlier run in TIME_WAIT.
    const int reuse = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_, 128) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("loopback server cannot listen on port " + std::to_string(port));
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

LoopbackServer::~LoopbackServer() {
    (void)!write(wake_[1], "x", 1);
    thread_.join();
    close(listener_);
    close(wake_[0]);
    close(wake_[1]);
}

std::string LoopbackServer::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

unsigned LoopbackServer::setRoute(const std::string& path, Script script) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(script);
    return ++routesVersion_;
}

std::vector<LoopbackServer::Answer> LoopbackServer::answers() const {
    std::lock_guard lock(mutex_);
    return answers_;
}

void LoopbackServer::serve() {
    std::vector<Connection> connections;
    auto drop = [&](size_t index) {
        close(connections[index].fd);
        connections.erase(connections.begin() + static_cast<long>(index));
        --openConnections_;
    };

    for (;;) {
        std::vector<pollfd> polled{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        int timeout = -1;
        const auto now = Clock::now();
        for (const auto& connection : connections) {
            short events = POLLIN;
            if (connection.requestRead && connection.script.mode == Mode::answer) {
                events = POLLOUT;
            }
            if (connection.requestRead && connection.script.mode == Mode::trickle) {
                const auto wait =
                    std::chrono::ceil<std::chrono::milliseconds>(connection.nextByte - now);
                const int ms = static_cast<int>(std::max<long>(0, wait.count()));
                timeout = timeout < 0 ? ms : std::min(timeout, ms);
            }
            polled.push_back({connection.fd, events, 0});
        }
        poll(polled.data(), polled.size(), timeout);
        if (polled[0].revents != 0) {
            for (size_t i = connections.size(); i-- > 0;) {
                drop(i);
            }
            return;
        }
        if (polled[1].revents & POLLIN) {
            int fd;
            while ((fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0) {
                connections.push_back({fd, {}, false, {}, 0, 0, {}});
                ++openConnections_;
            }
        }
        for (size_t i = connections.size(); i-- > 0;) {
            if (i + 2 >= polled.size()) {
                continue; // accepted in this round, not polled yet
            }
            if (!advance(connections[i], polled[i + 2].revents)) {
                drop(i);
            }
        }
    }
}

// Reads the request, then sends what the script says; false once the
// connection is done with.
bool LoopbackServer::advance(Connection& connection, short revents) {
    if (!connection.requestRead || connection.script.mode != Mode::answer) {
        if (revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[4096];
            const ssize_t got = read(connection.fd, buffer, sizeof buffer);
            if (got <= 0) {
                return false; // the client has gone
            }
            if (!connection.requestRead) {
                connection.request.append(buffer, static_cast<size_t>(got));
            }
        }
        if (!connection.requestRead && connection.request.find("\r\n\r\n") != std::string::npos) {
            connection.requestRead = true;
            const auto start = connection.request.find(' ') + 1;
            std::lock_guard lock(mutex_);
            connection.routesVersion = routesVersion_;
            const auto route = routes_.find(
                connection.request.substr(start, connection.request.find(' ', start) - start));
            connection.script = route != routes_.end()
                                    ? route->second
                                    : Script{Mode::answer, response(404, "missing")};
            connection.nextByte = Clock::now();
        }
    }
    if (!connection.requestRead) {
        return true;
    }
    const std::string& bytes = connection.script.bytes;
    if (connection.script.mode == Mode::answer && (revents & POLLOUT)) {
        const ssize_t put = send(connection.fd, bytes.data() + connection.sent,
                                 bytes.size() - connection.sent, MSG_NOSIGNAL);
        if (put < 0) {
            return false;
        }
        connection.sent += static_cast<size_t>(put);
    } else if (connection.script.mode == Mode::trickle && Clock::now() >= connection.nextByte) {
        if (send(connection.fd, bytes.data() + connection.sent, 1, MSG_NOSIGNAL) != 1) {
            return false;
        }
        ++connection.sent;
        connection.nextByte += std::chrono::seconds(1);
    }
    if (connection.script.mode != Mode::neverAnswer && connection.sent >= bytes.size()) {
        std::lock_guard lock(mutex_);
        answers_.push_back({connection.routesVersion, Clock::now()});
        return false;
    }
    return true;
}

} // namespace vantrel::test
