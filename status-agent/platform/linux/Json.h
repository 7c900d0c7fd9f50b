// The probe's one JSON question on Linux, answered with nlohmann-json; the
// System of this backend hands it to the core.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantrel::platform::json {

std::optional<std::string> topLevelStringMember(std::string_view json, std::string_view key);

} // namespace vantrel::platform::json
