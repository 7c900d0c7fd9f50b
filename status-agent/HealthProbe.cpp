#include "HealthProbe.h"
#include "StatusMenuDelegate.h"

#include <cstddef>
#include <utility>

namespace vantrel {

namespace {

constexpr const char* healthURL = "http://127.0.0.1:18777/healthz";
// Idle limit of the probe; the total limit and the body cap keep a server that
// trickles bytes from holding requests open for ever.
constexpr double idleTimeoutSeconds = 1.5;
constexpr double totalTimeoutSeconds = 5.0;
constexpr std::size_t maxBodyBytes = std::size_t{1024} * 1024;

} // namespace

bool isHealthyResponse(const platform::System& system,
                       const std::optional<platform::HttpResponse>& response) {
    if (!response || response->statusCode != 200 || !response->body) {
        return false;
    }
    const auto service = system.jsonTopLevelStringMember(*response->body, "service");
    return service && *service == "vantrel-local";
}

void StatusMenuDelegate::refreshStatus() {
    platform::HttpRequest request;
    request.url = healthURL;
    request.idleTimeoutSeconds = idleTimeoutSeconds;
    request.totalTimeoutSeconds = totalTimeoutSeconds;
    request.maxBodyBytes = maxBodyBytes;

    // The completion runs on the client's thread: it judges the answer there and
    // reaches the delegate only on the main thread, and only if it still exists.
    auto completion = [app = &application, system = system, weakSelf = weak_from_this()](
                          const std::optional<platform::HttpResponse>& response) {
        const bool healthy = isHealthyResponse(*system, response);
        app->dispatchToMain([healthy, weakSelf] { applyProbeResult(healthy, weakSelf); });
    };
    httpClient->get(request, std::move(completion));
}

void StatusMenuDelegate::applyProbeResult(bool healthy,
                                          const std::weak_ptr<StatusMenuDelegate>& weakSelf) {
    const auto self = weakSelf.lock();
    if (!self) {
        return;
    }
    auto* button = self->statusItem ? self->statusItem->button() : nullptr;

    if (healthy) {
        self->consecutiveFailures = 0;
        self->setStateTitle("Local API: Running");
        if (button) {
            button->setTitle("VT \u25CF");
        }
        return;
    }

    if (button) {
        button->setTitle("VT \u25CB");
    }
    if (self->readDesiredState() == "running") {
        ++self->consecutiveFailures;
        self->setStateTitle("Local API: Interrupted");
        // A smoke run must never relaunch the main application.
        if (self->smokeMode) {
            return;
        }
        if (self->consecutiveFailures >= self->failureThreshold) {
            self->attemptRecovery();
        }
    } else {
        // A wanted stop, or no usable desired state: nothing to recover.
        self->consecutiveFailures = 0;
        self->setStateTitle("Local API: Stopped");
    }
}

} // namespace vantrel
