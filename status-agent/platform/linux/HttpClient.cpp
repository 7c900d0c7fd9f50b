// HTTP GET with libcurl. One thread of the client's own runs a multi handle that
// serves every request in flight, so a server that never answers ties up a socket,
// not a thread. Completions run on that thread.
#include "platform/Platform.h"

#include <curl/curl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>

namespace vantrel::platform {
namespace {

using Clock = std::chrono::steady_clock;
using Completion = std::function<void(std::optional<HttpResponse>)>;

struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct MultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;

// Zero, negative or NaN limits mean "no limit".
long toMilliseconds(double seconds) {
    if (!(seconds > 0)) {
        return 0;
    }
    const double ms = std::ceil(seconds * 1000.0);
    return ms >= static_cast<double>(INT_MAX) ? INT_MAX : std::max(1L, static_cast<long>(ms));
}

struct Transfer {
    Transfer(const HttpRequest& r, Completion c)
        : request(r), completion(std::move(c)), idleLimit(toMilliseconds(r.idleTimeoutSeconds)) {}

    HttpRequest request;
    Completion completion;
    std::chrono::milliseconds idleLimit;
    EasyHandle easy;
    std::string body;
    Clock::time_point lastProgress;
};

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    // Each response of a redirect chain starts with a status line; only the
    // final response's body is delivered.
    if (bytes >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
        transfer->body.clear();
    }
    return bytes;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    const size_t cap = transfer->request.maxBodyBytes;
    if (cap > 0 && bytes > cap - transfer->body.size()) {
        return 0; // curl then fails the transfer with a write error
    }
    transfer->body.append(data, bytes);
    return bytes;
}

// Sockets are close-on-exec so that a program the agent starts inherits none.
curl_socket_t openSocket(void*, curlsocktype, curl_sockaddr* address) {
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// The state the worker thread uses. It outlives the client when the client is
// released from inside a completion (the worker then detaches itself).
//
// The worker runs its own poll() over curl's sockets (curl's socket interface)
// rather than curl_multi_poll, because it must see every byte that arrives:
// the idle limit counts any data as progress, also a header line that
// trickles in a byte at a time, which curl's callbacks report only whole.
class Engine {
  public:
    Engine() : multi_(curl_multi_init()), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (!multi_ || wake_ < 0) {
            if (wake_ >= 0) {
                close(wake_);
            }
            throw std::bad_alloc();
        }
        curl_multi_setopt(multi_.get(), CURLMOPT_SOCKETFUNCTION, &Engine::onSocket);
        curl_multi_setopt(multi_.get(), CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(multi_.get(), CURLMOPT_TIMERFUNCTION, &Engine::onTimer);
        curl_multi_setopt(multi_.get(), CURLMOPT_TIMERDATA, this);
    }

    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    ~Engine() {
        // Requests still in flight are abandoned: their completions are released
        // without being called, since whoever waits for them is going away too.
        for (auto& [easy, transfer] : active_) {
            curl_multi_remove_handle(multi_.get(), easy);
        }
        active_.clear();
        multi_.reset();
        close(wake_);
    }

    void add(const HttpRequest& request, Completion completion) {
        {
            std::lock_guard lock(mutex_);
            incoming_.push_back(std::make_unique<Transfer>(request, std::move(completion)));
        }
        wake();
    }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake();
    }

    void run() {
        for (;;) {
            std::vector<std::unique_ptr<Transfer>> fresh;
            {
                std::lock_guard lock(mutex_);
                if (stopping_) {
                    return;
                }
                fresh.swap(incoming_);
            }
            for (auto& transfer : fresh) {
                start(std::move(transfer));
            }
            waitAndServe();
            collectFinished();
            expireIdle();
        }
    }

  private:
    void wake() {
        const uint64_t one = 1;
        (void)!write(wake_, &one, sizeof one);
    }

    static int onSocket(CURL* easy, curl_socket_t socket, int what, void* self, void*) {
        auto& sockets = static_cast<Engine*>(self)->sockets_;
        if (what == CURL_POLL_REMOVE) {
            sockets.erase(socket);
        } else {
            sockets[socket] = {easy, what};
        }
        return 0;
    }

    static int onTimer(CURLM*, long milliseconds, void* self) {
        auto& deadline = static_cast<Engine*>(self)->curlDeadline_;
        if (milliseconds < 0) {
            deadline.reset();
        } else {
            deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
        }
        return 0;
    }

    // Sleeps until a socket is ready, curl's timer or the earliest idle
    // deadline is due, or a new request wakes the thread; then lets curl work.
    void waitAndServe() {
        std::vector<pollfd> polled{{wake_, POLLIN, 0}};
        std::vector<CURL*> owners{nullptr};
        for (const auto& [socket, watch] : sockets_) {
            short events = 0;
            if (watch.what & CURL_POLL_IN) {
                events |= POLLIN;
            }
            if (watch.what & CURL_POLL_OUT) {
                events |= POLLOUT;
            }
            polled.push_back({socket, events, 0});
            owners.push_back(watch.easy);
        }
        poll(polled.data(), polled.size(), waitMilliseconds());

        if (polled[0].revents & POLLIN) {
            uint64_t count = 0;
            (void)!read(wake_, &count, sizeof count);
        }
        const auto now = Clock::now();
        int running = 0;
        for (size_t i = 1; i < polled.size(); ++i) {
            const short ready = polled[i].revents;
            if (ready == 0) {
                continue;
            }
            if (ready & (POLLIN | POLLHUP | POLLERR)) {
                if (auto found = active_.find(owners[i]); found != active_.end()) {
                    found->second->lastProgress = now;
                }
            }
            int mask = 0;
            mask |= (ready & POLLIN) ? CURL_CSELECT_IN : 0;
            mask |= (ready & POLLOUT) ? CURL_CSELECT_OUT : 0;
            mask |= (ready & (POLLERR | POLLHUP)) ? CURL_CSELECT_ERR : 0;
            curl_multi_socket_action(multi_.get(), polled[i].fd, mask, &running);
        }
        if (curlDeadline_ && Clock::now() >= *curlDeadline_) {
            curlDeadline_.reset();
            curl_multi_socket_action(multi_.get(), CURL_SOCKET_TIMEOUT, 0, &running);
        }
    }

    void start(std::unique_ptr<Transfer> transfer) {
        transfer->easy.reset(curl_easy_init());
        CURL* easy = transfer->easy.get();
        if (!easy || !configure(easy, *transfer)) {
            transfer->completion(std::nullopt);
            return;
        }
        transfer->lastProgress = Clock::now();
        auto& added = active_[easy];
        added = std::move(transfer);
        if (curl_multi_add_handle(multi_.get(), easy) != CURLM_OK) {
            auto failed = std::move(added);
            active_.erase(easy);
            failed->completion(std::nullopt);
        }
    }

    static bool configure(CURL* easy, Transfer& transfer) {
        const HttpRequest& request = transfer.request;
        bool ok = true;
        auto set = [&](CURLoption option, auto value) {
            ok = ok && curl_easy_setopt(easy, option, value) == CURLE_OK;
        };
        set(CURLOPT_URL, request.url.c_str());
        set(CURLOPT_HTTPGET, 1L);
        set(CURLOPT_FOLLOWLOCATION, 1L);
        set(CURLOPT_MAXREDIRS, 16L);
        set(CURLOPT_PROTOCOLS_STR, "http,https");
        set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        // An empty proxy and "no proxy for any host" keep http_proxy and friends
        // in the environment from diverting the request.
        set(CURLOPT_PROXY, "");
        set(CURLOPT_NOPROXY, "*");
        set(CURLOPT_NOSIGNAL, 1L);
        set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(transfer.idleLimit.count()));
        set(CURLOPT_TIMEOUT_MS, toMilliseconds(request.totalTimeoutSeconds));
        set(CURLOPT_HEADERFUNCTION, &onHeader);
        set(CURLOPT_HEADERDATA, &transfer);
        set(CURLOPT_WRITEFUNCTION, &onBody);
        set(CURLOPT_WRITEDATA, &transfer);
        set(CURLOPT_OPENSOCKETFUNCTION, &openSocket);
        return ok;
    }

    void collectFinished() {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            CURL* easy = message->easy_handle;
            const CURLcode result = message->data.result;
            std::optional<HttpResponse> response;
            long status = 0;
            if (result == CURLE_OK &&
                curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
                status > 0) {
                response = HttpResponse{status, std::move(active_.at(easy)->body)};
            }
            finish(easy, std::move(response));
        }
    }

    // The idle limit is kept here rather than with curl's low-speed options,
    // which count only whole seconds.
    void expireIdle() {
        const auto now = Clock::now();
        std::vector<CURL*> idle;
        for (const auto& [easy, transfer] : active_) {
            if (transfer->idleLimit.count() > 0 &&
                now - transfer->lastProgress >= transfer->idleLimit) {
                idle.push_back(easy);
            }
        }
        for (CURL* easy : idle) {
            finish(easy, std::nullopt);
        }
    }

    void finish(CURL* easy, std::optional<HttpResponse> response) {
        auto found = active_.find(easy);
        std::unique_ptr<Transfer> transfer = std::move(found->second);
        active_.erase(found);
        curl_multi_remove_handle(multi_.get(), easy);
        transfer->completion(std::move(response));
    }

    // Until curl's timer or the earliest idle deadline; with nothing in flight
    // the thread sleeps until a new request wakes it.
    int waitMilliseconds() const {
        const auto now = Clock::now();
        std::optional<Clock::time_point> due = curlDeadline_;
        for (const auto& [easy, transfer] : active_) {
            if (transfer->idleLimit.count() > 0) {
                const auto deadline = transfer->lastProgress + transfer->idleLimit;
                due = due ? std::min(*due, deadline) : deadline;
            }
        }
        if (!due) {
            return -1;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - now).count();
        return static_cast<int>(std::clamp<long>(left, 0, INT_MAX));
    }

    struct SocketWatch {
        CURL* easy = nullptr;
        int what = 0;
    };

    MultiHandle multi_;
    int wake_;
    std::optional<Clock::time_point> curlDeadline_;
    std::unordered_map<curl_socket_t, SocketWatch> sockets_;
    std::unordered_map<CURL*, std::unique_ptr<Transfer>> active_;
    std::mutex mutex_;
    bool stopping_ = false;
    std::vector<std::unique_ptr<Transfer>> incoming_;
};

class CurlHttpClient final : public HttpClient {
  public:
    CurlHttpClient() : engine_(std::make_shared<Engine>()) {
        // Signals belong to the main loop: the worker starts with all of them
        // blocked, since it inherits the mask in force when it is created.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &previous);
        try {
            thread_ = std::thread([engine = engine_] {
                pthread_setname_np(pthread_self(), "vantrel-http");
                engine->run();
            });
        } catch (...) {
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            throw;
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;

    ~CurlHttpClient() override {
        engine_->stop();
        // Released from inside a completion: the worker cannot join itself; it
        // holds the engine and ends once the completion returns.
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }

    void get(const HttpRequest& request,
             std::function<void(std::optional<HttpResponse>)> completion) override {
        engine_->add(request, std::move(completion));
    }

  private:
    std::shared_ptr<Engine> engine_;
    std::thread thread_;
};

} // namespace

std::shared_ptr<HttpClient> createHttpClient() {
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    return std::make_shared<CurlHttpClient>();
}

} // namespace vantrel::platform
