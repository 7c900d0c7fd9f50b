// HTTP GET through the process's shared URL session. The session follows
// redirects and calls the completion on its own background queue, where the
// core's completion runs too.
#import <Foundation/Foundation.h>

#include "platform/Platform.h"
#include "platform/macos/FoundationStrings.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vantrel::platform {
namespace {

using Completion = std::function<void(std::optional<HttpResponse>)>;

// How often the watchdog looks at a request in flight.
constexpr std::int64_t watchdogPeriodNanoseconds = 50 * NSEC_PER_MSEC;

// The final answer, or nothing on any failure. A transport error, a cancel by
// the watchdog and a body over the cap all count as failures, whatever partial
// response came with them.
std::optional<HttpResponse> responseFrom(NSData* data, NSURLResponse* response, NSError* error,
                                         std::size_t maxBodyBytes) {
    if (error != nil || ![response isKindOfClass:[NSHTTPURLResponse class]]) {
        return std::nullopt;
    }
    if (data != nil && data.length > maxBodyBytes) {
        return std::nullopt;
    }
    HttpResponse answer;
    answer.statusCode = static_cast<NSHTTPURLResponse*>(response).statusCode;
    if (data != nil) {
        answer.body = data.length == 0
                          ? std::string()
                          : std::string(static_cast<const char*>(data.bytes), data.length);
    }
    return answer;
}

class SessionHttpClient final : public HttpClient {
  public:
    void get(const HttpRequest& request, Completion completion) override {
        @autoreleasepool {
            NSString* text = macos::toNSString(request.url);
            NSURL* url = text != nil ? [NSURL URLWithString:text] : nil;
            if (url == nil) {
                // A URL that cannot be formed ends the request before it starts.
                return;
            }
            // Never a cached answer: a health answer kept by the session's cache
            // would say "Running" while the API is down.
            NSMutableURLRequest* urlRequest =
                [NSMutableURLRequest requestWithURL:url
                                        cachePolicy:NSURLRequestReloadIgnoringLocalCacheData
                                    timeoutInterval:request.idleTimeoutSeconds];
            urlRequest.HTTPMethod = @"GET";

            // The session has no total limit and buffers the whole body before
            // the completion runs, so a watchdog cancels a request that runs too
            // long or whose body grows past the cap while it still arrives.
            dispatch_source_t watchdog = dispatch_source_create(
                DISPATCH_SOURCE_TYPE_TIMER, 0, 0, dispatch_get_global_queue(QOS_CLASS_UTILITY, 0));
            const std::size_t maxBodyBytes = request.maxBodyBytes;

            NSURLSessionDataTask* task = [[NSURLSession sharedSession]
                dataTaskWithRequest:urlRequest
                  completionHandler:^(NSData* data, NSURLResponse* response, NSError* error) {
                    // Cancelling releases the watchdog's handler and with it the task.
                    dispatch_source_cancel(watchdog);
                    completion(responseFrom(data, response, error, maxBodyBytes));
                  }];

            const auto deadline = std::chrono::steady_clock::now() +
                                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(request.totalTimeoutSeconds));
            const auto cap = static_cast<std::int64_t>(maxBodyBytes);
            dispatch_source_set_event_handler(watchdog, ^{
              if (std::chrono::steady_clock::now() >= deadline || task.countOfBytesReceived > cap ||
                  task.countOfBytesExpectedToReceive > cap) {
                  [task cancel];
              }
            });
            dispatch_source_set_timer(watchdog,
                                      dispatch_time(DISPATCH_TIME_NOW, watchdogPeriodNanoseconds),
                                      static_cast<std::uint64_t>(watchdogPeriodNanoseconds),
                                      static_cast<std::uint64_t>(watchdogPeriodNanoseconds / 5));
            dispatch_resume(watchdog);
            [task resume];
        }
    }
};

} // namespace

std::shared_ptr<HttpClient> createHttpClient() {
    return std::make_shared<SessionHttpClient>();
}

} // namespace vantrel::platform
