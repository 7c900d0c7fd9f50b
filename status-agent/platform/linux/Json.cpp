// The probe's one JSON question, answered with nlohmann-json.
#include "platform/linux/Json.h"

#include <nlohmann/json.hpp>

namespace vantrel::platform::json {

std::optional<std::string> topLevelStringMember(std::string_view json, std::string_view key) {
    // The non-throwing parse turns every syntax error (and invalid UTF-8) into a
    // discarded value; the catch only stands for allocation failure on huge input.
    // The parser takes a NUL byte for the end of the text; JSON allows none
    // outside strings and none unescaped inside them.
    if (json.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    try {
        const auto value = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
        if (!value.is_object()) {
            return std::nullopt;
        }
        // A key given twice keeps its last value, as most JSON readers do.
        const auto member = value.find(key);
        if (member == value.end() || !member->is_string()) {
            return std::nullopt;
        }
        return member->get<std::string>();
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace vantrel::platform::json
