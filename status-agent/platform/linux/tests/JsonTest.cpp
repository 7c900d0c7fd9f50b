// The probe's JSON question on nlohmann-json, at the edges where a parser
// could crash or answer for text that is not one JSON object.
#include "platform/linux/Json.h"

#include <gtest/gtest.h>

namespace vantrel::platform {
namespace {

TEST(LinuxJson, TopLevelStringMember) {
    struct Case {
        const char* name;
        std::string json;
        std::optional<std::string> service;
    };
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const Case cases[] = {
        {"present", R"({"version":"2","service":"vantrel-local"})", "vantrel-local"},
        {"escaped", R"({"servic\u0065":"vantrel\u002dlocal"})", "vantrel-local"},
        {"nested key only", R"({"other":{"service":"vantrel-local"}})", std::nullopt},
        {"absent", R"({"status":"ok"})", std::nullopt},
        {"a number", R"({"service":42})", std::nullopt},
        {"null", R"({"service":null})", std::nullopt},
        {"an object", R"({"service":{"name":"vantrel-local"}})", std::nullopt},
        {"top level an array", R"([{"service":"vantrel-local"}])", std::nullopt},
        {"top level a string", R"("vantrel-local")", std::nullopt},
        {"truncated", R"({"service":"vantrel-local")", std::nullopt},
        {"trailing text", R"({"service":"vantrel-local"} x)", std::nullopt},
        {"text after a NUL", std::string(R"({"service":"vantrel-local"})") + '\0' + "x",
         std::nullopt},
        {"invalid UTF-8", "{\"service\":\"vantrel-local\",\"x\":\"\xff\"}", std::nullopt},
        {"deep nesting beside the key", R"({"service":"vantrel-local","x":)" + deep + "}",
         "vantrel-local"},
        {"empty", "", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(json::topLevelStringMember(c.json, "service"), c.service) << c.name;
    }
}

} // namespace
} // namespace vantrel::platform
