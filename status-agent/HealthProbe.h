// The health probe's verdict on one response, kept apart so that backend tests
// can judge real HTTP answers with the very same rule.
#pragma once

#include "platform/Platform.h"

#include <optional>

namespace vantrel {

// Healthy only for status 200 with a JSON object whose "service" member is the
// string "vantrel-local". Any failure, including no response at all, is not healthy.
bool isHealthyResponse(const platform::System& system,
                       const std::optional<platform::HttpResponse>& response);

} // namespace vantrel
