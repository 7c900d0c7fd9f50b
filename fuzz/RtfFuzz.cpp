// libFuzzer target for the RTF reader: any bytes must give valid UTF-8 of a
// size in proportion to the input, without crashing or hanging.
#include "rtf/RtfText.h"
#include "tests/OutputChecks.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view rtf(reinterpret_cast<const char*>(data), size);
    std::string text = vantrel::extractor::rtfToText(rtf);
    // Three output bytes per input byte at most (one raw byte can become a
    // three-byte character), plus the line ends that set notes apart.
    if (!vantrel::extractor::test::isValidUtf8(text) || text.size() > size * 3 + 8) {
        std::abort();
    }
    return 0;
}
