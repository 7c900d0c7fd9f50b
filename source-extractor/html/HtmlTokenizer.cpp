#include "html/HtmlTokenizer.h"

#include "html/HtmlTokenizerMachine.h"
#include "text/Utf8.h"

#include <array>

namespace vantrel::extractor::html {

Tokenizer::Tokenizer(TokenSink& sink) : machine_(std::make_unique<Machine>(sink)) {}
Tokenizer::~Tokenizer() = default;
void Tokenizer::feed(std::string_view bytes) {
    machine_->feed(bytes);
}
void Tokenizer::finish() {
    machine_->finish();
}
void Tokenizer::switchTo(TextState state) {
    machine_->switchTo(state);
}
void Tokenizer::setForeignContent(bool foreign) {
    machine_->setForeignContent(foreign);
}

namespace {

// For the states that spend most of a page in long runs of ordinary
// characters, the ASCII bytes that end a run; every other byte below 0x80,
// and every well-formed longer sequence, is copied as it is.
enum RunKind : std::uint8_t {
    kNoRun,
    kDataRun,
    kRcDataRun,
    kRawRun,
    kPlainRun,
    kCommentRun,
    kDoubleQuotedRun,
    kSingleQuotedRun,
    kUnquotedRun,
    kEscapedRun,
    kTagNameRun,
    kAttributeNameRun,
    kRunKinds
};

constexpr std::string_view kRunStops[kRunKinds] = {
    "",
    "<&\r",
    "<&\r",
    "<\r",
    "\r",
    "<-\r",
    "\"&\r",
    "'&\r",
    "\t\n\f &>\r",
    "-<\r",
    // Names are lower-cased as they are copied.
    "\t\n\f />\r",
    "\t\n\f />=\r",
};

// Bytes from 0x80 up end the quick loop too: they start longer sequences.
using StopTable = std::array<std::array<unsigned char, 256>, kRunKinds>;

constexpr StopTable makeStopTable() {
    StopTable table{};
    for (std::size_t kind = 0; kind < kRunKinds; ++kind) {
        table[kind][0] = 1; // NUL always needs its state's own rule
        for (std::size_t b = 0x80; b < 0x100; ++b) {
            table[kind][b] = 1;
        }
        for (const char c : kRunStops[kind]) {
            table[kind][static_cast<unsigned char>(c)] = 1;
        }
    }
    return table;
}

constexpr StopTable kStops = makeStopTable();

RunKind runKind(State state) {
    switch (state) {
    case State::Data:
        return kDataRun;
    case State::RcData:
        return kRcDataRun;
    case State::RawText:
    case State::ScriptData:
        return kRawRun;
    case State::PlainText:
        return kPlainRun;
    case State::Comment:
        return kCommentRun;
    case State::AttributeValueDouble:
        return kDoubleQuotedRun;
    case State::AttributeValueSingle:
        return kSingleQuotedRun;
    case State::AttributeValueUnquoted:
        return kUnquotedRun;
    case State::ScriptEscaped:
    case State::ScriptDoubleEscaped:
        return kEscapedRun;
    case State::TagName:
        return kTagNameRun;
    case State::AttributeName:
        return kAttributeNameRun;
    default:
        return kNoRun;
    }
}

} // namespace

// Copies the run of ordinary characters at p to where the current state puts
// them and returns where the run ends.
const char* Tokenizer::Machine::fastRun(const char* p, const char* end) {
    const RunKind kind = runKind(state_);
    if (kind == kNoRun || afterCr_) {
        return p;
    }
    const auto& stops = kStops[kind];
    const char* q = p;
    const auto stopAt = [&stops](const char* at) { return stops[static_cast<unsigned char>(*at)]; };
    while (q < end) {
        // Four bytes a step while none of them ends the quick loop.
        while (end - q >= 4 && (stopAt(q) | stopAt(q + 1) | stopAt(q + 2) | stopAt(q + 3)) == 0) {
            q += 4;
        }
        while (q < end && stopAt(q) == 0) {
            ++q;
        }
        if (q == end || static_cast<unsigned char>(*q) < 0x80) {
            break;
        }
        const auto* u = reinterpret_cast<const unsigned char*>(q);
        const Utf8Sequence sequence =
            utf8SequenceAt(u, reinterpret_cast<const unsigned char*>(end));
        if (!sequence.valid) {
            break;
        }
        q += sequence.length;
    }
    const std::string_view run(p, static_cast<std::size_t>(q - p));
    if (kind == kTagNameRun || kind == kAttributeNameRun) {
        appendName(kind == kTagNameRun, run);
    } else if (kind == kCommentRun) {
        appendComment(run);
    } else if (kind == kDoubleQuotedRun || kind == kSingleQuotedRun || kind == kUnquotedRun) {
        appendAttributeValue(run);
    } else {
        emit(run);
    }
    return q;
}

void Tokenizer::Machine::consume(char32_t c) {
    if (afterCr_ && c == '\n') {
        afterCr_ = false;
        return;
    }
    afterCr_ = c == '\r';
    if (afterCr_) {
        c = '\n';
    }
    while (!step(c)) {
    }
}

// Completes a sequence cut by the end of the previous chunk with the first
// bytes of this one.
void Tokenizer::Machine::takeCarried(std::string_view bytes, std::size_t& i) {
    while (carriedLength_ > 0 && i < bytes.size()) {
        carried_[carriedLength_++] = static_cast<unsigned char>(bytes[i++]);
        const Utf8Sequence sequence = utf8SequenceAt(carried_, carried_ + carriedLength_);
        if (sequence.cut) {
            continue;
        }
        // A byte that broke the sequence starts the next character.
        i -= carriedLength_ - sequence.length;
        char32_t c = kReplacementCharacter;
        if (sequence.valid) {
            std::size_t k = 0;
            decodeUtf8(std::string_view(reinterpret_cast<const char*>(carried_), sequence.length),
                       k, c);
        }
        carriedLength_ = 0;
        consume(c);
    }
}

void Tokenizer::Machine::feed(std::string_view bytes) {
    std::size_t i = 0;
    takeCarried(bytes, i);
    const char* const end = bytes.data() + bytes.size();
    while (i < bytes.size()) {
        i = static_cast<std::size_t>(fastRun(bytes.data() + i, end) - bytes.data());
        if (i == bytes.size()) {
            break;
        }
        const auto b = static_cast<unsigned char>(bytes[i]);
        char32_t c = b;
        if (b < 0x80) {
            ++i;
        } else if (!decodeUtf8(bytes, i, c)) {
            const auto* u = reinterpret_cast<const unsigned char*>(bytes.data() + i);
            const Utf8Sequence sequence =
                utf8SequenceAt(u, reinterpret_cast<const unsigned char*>(end));
            if (sequence.cut) {
                carriedLength_ = bytes.size() - i;
                std::copy(u, u + carriedLength_, carried_);
                break;
            }
            c = kReplacementCharacter;
            i += sequence.length;
        }
        consume(c);
        if (text_.size() >= kTextBatchBytes) {
            flushText();
        }
    }
    flushText();
}

void Tokenizer::Machine::finish() {
    if (carriedLength_ > 0) {
        carriedLength_ = 0;
        consume(kReplacementCharacter);
    }
    while (!step(kEndOfFile)) {
    }
    flushText();
    sink_.endOfFile();
}

void Tokenizer::Machine::switchTo(TextState state) {
    switch (state) {
    case TextState::Data:
        state_ = State::Data;
        break;
    case TextState::RcData:
        state_ = State::RcData;
        break;
    case TextState::RawText:
        state_ = State::RawText;
        break;
    case TextState::ScriptData:
        state_ = State::ScriptData;
        break;
    case TextState::PlainText:
        state_ = State::PlainText;
        break;
    }
}

} // namespace vantrel::extractor::html
