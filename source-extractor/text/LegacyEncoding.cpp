#include "text/LegacyEncoding.h"

#include "text/Utf8.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <utility>

namespace vantrel::extractor {
namespace {

// iconv_open's own failure value.
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1); // NOLINT(performance-no-int-to-ptr)

} // namespace

LegacyDecoder::LegacyDecoder(const std::string& encoding)
    : handle_(iconv_open("UTF-8", encoding.c_str())) {}

LegacyDecoder::~LegacyDecoder() {
    if (valid()) {
        iconv_close(static_cast<iconv_t>(handle_));
    }
}

LegacyDecoder::LegacyDecoder(LegacyDecoder&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoConverter)) {}

LegacyDecoder& LegacyDecoder::operator=(LegacyDecoder&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
}

bool LegacyDecoder::valid() const {
    return static_cast<iconv_t>(handle_) != kNoConverter;
}

void LegacyDecoder::appendUtf8(std::string_view bytes, std::string& out) {
    decode(bytes, out, true);
}

std::size_t LegacyDecoder::appendUtf8Part(std::string_view bytes, std::string& out) {
    return decode(bytes, out, false);
}

std::size_t LegacyDecoder::decode(std::string_view bytes, std::string& out, bool last) {
    auto cd = static_cast<iconv_t>(handle_);
    // Four output bytes per input byte covers every encoding here; E2BIG
    // below grows the buffer should one need more.
    std::size_t used = out.size();
    out.resize(used + bytes.size() * 4 + 8);
    char* src = const_cast<char*>(bytes.data()); // iconv never writes through it
    std::size_t srcLeft = bytes.size();
    bool flushing = false;
    for (;;) {
        char* dst = out.data() + used;
        std::size_t dstLeft = out.size() - used;
        // With no input, iconv writes what a combining converter still holds
        // (CP1258 waits for a following accent) and returns to its initial state.
        const std::size_t result = flushing ? iconv(cd, nullptr, nullptr, &dst, &dstLeft)
                                            : iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        const int error = result == static_cast<std::size_t>(-1) ? errno : 0;
        used = out.size() - dstLeft;
        if (error == E2BIG) {
            out.resize(out.size() * 2 + 16);
            continue;
        }
        if (flushing || (!last && (error == 0 || error == EINVAL))) {
            break; // a piece keeps its state, and its cut-off character, for the next
        }
        if (error == 0) {
            flushing = true;
            continue;
        }
        // EILSEQ: a byte the encoding does not define; EINVAL: the bytes end
        // inside a character.
        if (out.size() - used < 4) {
            out.resize(out.size() * 2 + 16);
        }
        used += encodeUtf8(kReplacementCharacter, out.data() + used);
        if (error == EILSEQ && srcLeft > 1) {
            ++src;
            --srcLeft;
        } else {
            srcLeft = 0;
            flushing = true;
        }
    }
    out.resize(used);
    return bytes.size() - srcLeft;
}

std::optional<LegacyDecoder::ByteTable> LegacyDecoder::singleByteTable() {
    auto cd = static_cast<iconv_t>(handle_);
    ByteTable table{};
    for (std::size_t b = 0; b < table.size(); ++b) {
        char byte = static_cast<char>(b);
        char* in = &byte;
        std::size_t inLeft = 1;
        char buffer[16];
        char* dst = buffer;
        std::size_t dstLeft = sizeof buffer;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &in, &inLeft, &dst, &dstLeft) == static_cast<std::size_t>(-1)) {
            const bool invalid = errno == EILSEQ;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            if (!invalid) {
                return std::nullopt; // a byte that needs the next one: not single-byte
            }
            table[b] = {'\xEF', '\xBF', '\xBD', 3};
            continue;
        }
        const auto produced = static_cast<std::size_t>(dst - buffer);
        // A converter that holds a byte back, or gives more than one BMP
        // character for it, depends on its neighbours (CP1255 and CP1258
        // combine accents).
        const bool flushed =
            iconv(cd, nullptr, nullptr, &dst, &dstLeft) != static_cast<std::size_t>(-1) &&
            dst == buffer + produced;
        if (!flushed || produced == 0 || produced > 3) {
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            return std::nullopt;
        }
        std::memcpy(table[b].data(), buffer, produced);
        table[b][3] = static_cast<char>(produced);
    }
    return table;
}

} // namespace vantrel::extractor
