// The JSON question the probe asks, on texts a server might send.
#include "platform/Platform.h"

#include <gtest/gtest.h>

namespace vantrel::platform {
namespace {

TEST(Json, TopLevelStringMember) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const std::string deepObject = R"({"service":"vantrel-local","x":)" + deep + "}";
    struct Case {
        std::string text;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {R"({"service":"vantrel-local"})", "vantrel-local"},
        {" \n{ \"service\" : \"vantrel-local\" , \"other\" : {\"service\": 1} }\n ",
         "vantrel-local"},
        {R"({"servic\u0065":"vantrel-\u006cocal"})", "vantrel-local"},
        {R"({"service":"first","service":"second"})", "second"},
        {R"({"other":"vantrel-local"})", std::nullopt},
        {R"({"Service":"vantrel-local"})", std::nullopt},
        {R"({"service":["vantrel-local"]})", std::nullopt},
        {R"({"service":true})", std::nullopt},
        {R"({"service":{}})", std::nullopt},
        {R"("vantrel-local")", std::nullopt},
        {R"([{"service":"vantrel-local"}])", std::nullopt},
        {R"({"service":"vantrel-local"} trailing)", std::nullopt},
        {R"({"service":"vantrel-local",})", std::nullopt},
        {R"({'service':'vantrel-local'})", std::nullopt},
        {R"({"service":"vantrel-local")", std::nullopt},
        {"{\"service\":\"vantrel-\xff\"}", std::nullopt},
        {std::string(R"({"service":"vantrel-local"})") + '\0' + " trailing", std::nullopt},
        {"", std::nullopt},
        {deep, std::nullopt},
        {deepObject, "vantrel-local"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(jsonTopLevelStringMember(c.text, "service"), c.expected) << c.text.substr(0, 60);
    }
    EXPECT_EQ(jsonTopLevelStringMember(R"({"a":"1","b":"2"})", "b"),
              std::optional<std::string>("2"));
}

} // namespace
} // namespace vantrel::platform
