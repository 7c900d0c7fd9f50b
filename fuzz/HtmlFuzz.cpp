// libFuzzer target for the HTML reader: any bytes must give valid UTF-8 that
// ends in at most one line end, of a size in proportion to the input, without
// crashing, hanging or writing anything.
#include "html/HtmlText.h"
#include "tests/OutputChecks.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel::extractor::test;
    const std::string_view html(reinterpret_cast<const char*>(data), size);
    const std::optional<std::string> text = vantrel::extractor::htmlToText(html);
    if (!text) {
        std::abort(); // only an allocation failure may give nothing
    }
    if (!isValidUtf8(*text) || !endsInOneCleanLineEnd(*text) || text->size() > 16 * size + 16) {
        std::abort();
    }
    return 0;
}
