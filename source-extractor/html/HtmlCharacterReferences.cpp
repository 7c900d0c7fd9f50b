// The character reference states: named references by longest match, with
// the legacy names that need no semicolon, and numeric ones.
#include "html/HtmlTokenizerMachine.h"
#include "text/Utf8.h"

#include <array>

namespace vantrel::extractor::html {

using Machine = Tokenizer::Machine;

namespace {

// Numeric references to 0x80..0x9F mean the windows-1252 characters there;
// zero where that code page has none, and the control stays.
constexpr std::array<char16_t, 32> kWindows1252 = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

int hexDigit(char32_t c) {
    if (isAsciiDigit(c)) {
        return static_cast<int>(c - '0');
    }
    const char32_t lower = c | 0x20;
    return lower >= 'a' && lower <= 'f' ? static_cast<int>(lower - 'a' + 10) : -1;
}

} // namespace

void Machine::beginReference() {
    buffer_.assign(1, '&');
    state_ = State::CharacterReference;
}

bool Machine::referenceInAttribute() const {
    return returnState_ == State::AttributeValueDouble ||
           returnState_ == State::AttributeValueSingle ||
           returnState_ == State::AttributeValueUnquoted;
}

// The standard's "flush code points consumed as a character reference".
void Machine::flushReference(std::string_view text) {
    if (referenceInAttribute()) {
        appendAttributeValue(text);
    } else {
        emit(text);
    }
}

bool Machine::stepCharacterReference(char32_t c) {
    switch (state_) {
    case State::CharacterReference:
        if (isAsciiAlphanumeric(c)) {
            match_ = NamedReferenceMatch();
            state_ = State::NamedCharacterReference;
            return false;
        }
        if (c == '#') {
            buffer_.push_back('#');
            referenceCode_ = 0;
            state_ = State::NumericCharacterReference;
            return true;
        }
        flushReference(buffer_);
        state_ = returnState_;
        return false;
    case State::NamedCharacterReference:
        if (c < 0x80 && match_.extend(static_cast<char>(c))) {
            buffer_.push_back(static_cast<char>(c));
            if (c == ';') { // no name goes on after its semicolon
                resolveNamedReference(kEndOfFile);
            }
            return true;
        }
        resolveNamedReference(c);
        return false;
    default: // AmbiguousAmpersand
        if (isAsciiAlphanumeric(c)) {
            const char ch = static_cast<char>(c);
            flushReference(std::string_view(&ch, 1));
            return true;
        }
        state_ = returnState_;
        return false;
    }
}

// The buffer holds "&", the characters matched, and any alphanumerics read
// past the longest name in the hope of a longer one; next follows them.
void Machine::resolveNamedReference(char32_t next) {
    const NamedReference* reference = match_.longest();
    if (reference == nullptr) {
        flushReference(buffer_);
        state_ = State::AmbiguousAmpersand;
        return;
    }
    state_ = returnState_;
    const std::string_view rest = std::string_view(buffer_).substr(1 + reference->name().size());
    const char32_t after = rest.empty() ? next : static_cast<unsigned char>(rest.front());
    if (referenceInAttribute() && reference->name().back() != ';' &&
        (after == '=' || isAsciiAlphanumeric(after))) {
        flushReference(buffer_); // left as written, for the sake of old URLs
        return;
    }
    flushReference(reference->text());
    flushReference(rest); // alphanumerics: the return state takes them as they are
}

bool Machine::stepNumericReference(char32_t c) {
    switch (state_) {
    case State::NumericCharacterReference:
        if (c == 'x' || c == 'X') {
            buffer_.push_back(static_cast<char>(c));
            state_ = State::HexadecimalStart;
            return true;
        }
        state_ = State::DecimalStart;
        return false;
    case State::HexadecimalStart:
    case State::DecimalStart:
        if (state_ == State::HexadecimalStart ? hexDigit(c) >= 0 : isAsciiDigit(c)) {
            state_ = state_ == State::HexadecimalStart ? State::Hexadecimal : State::Decimal;
        } else {
            flushReference(buffer_);
            state_ = returnState_;
        }
        return false;
    default: { // Hexadecimal, Decimal
        const bool hex = state_ == State::Hexadecimal;
        const int digit = hex ? hexDigit(c) : (isAsciiDigit(c) ? static_cast<int>(c - '0') : -1);
        if (digit >= 0) {
            // Saturates past the last code point, which is all that matters then.
            const std::uint32_t next =
                referenceCode_ * (hex ? 16U : 10U) + static_cast<std::uint32_t>(digit);
            referenceCode_ = referenceCode_ > 0x10FFFF ? referenceCode_ : next;
            return true;
        }
        endNumericReference();
        return c == ';';
    }
    }
}

void Machine::endNumericReference() {
    char32_t code = referenceCode_;
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        code = kReplacementCharacter;
    } else if (code >= 0x80 && code <= 0x9F && kWindows1252[code - 0x80] != 0) {
        code = kWindows1252[code - 0x80];
    }
    char bytes[4];
    flushReference(std::string_view(bytes, encodeUtf8(code, bytes)));
    state_ = returnState_;
}

} // namespace vantrel::extractor::html
