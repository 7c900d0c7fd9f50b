// A scripted HTTP server on 127.0.0.1, at a free port or at the agent's own.
// One thread serves every connection with poll(), so tests can count the
// client's threads.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vantrel::test {

class LoopbackServer {
  public:
    enum class Mode {
        answer,      // sends the bytes, then closes
        neverAnswer, // reads the request and stays silent until the client leaves
        trickle,     // sends the bytes one a second
    };
    struct Script {
        Mode mode = Mode::answer;
        std::string bytes;
    };

    // Requests for paths not in the routes get a 404. Port 0: any free port.
    explicit LoopbackServer(std::map<std::string, Script> routes, unsigned short port = 0);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    unsigned short port() const { return port_; }
    std::string url(std::string_view path) const;
    int openConnections() const { return openConnections_.load(); }

    // Changes one route for the requests read from now on; returns the routes'
    // new version (they start at 0).
    unsigned setRoute(const std::string& path, Script script);
    struct Answer {
        unsigned routesVersion;                     // of the script that answered
        std::chrono::steady_clock::time_point sent; // when the last byte went out
    };
    // Answers sent in full so far, in order.
    std::vector<Answer> answers() const;

    // A complete response that closes the connection.
    static std::string response(int status, std::string_view body,
                                std::string_view extraHeaders = {});

  private:
    struct Connection;
    void serve();
    bool advance(Connection& connection, short revents);

    std::map<std::string, Script> routes_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    unsigned short port_ = 0;
    std::atomic<int> openConnections_{0};
    mutable std::mutex mutex_;
    unsigned routesVersion_ = 0;
    std::vector<Answer> answers_;
    std::thread thread_;
};

} // namespace vantrel::test
