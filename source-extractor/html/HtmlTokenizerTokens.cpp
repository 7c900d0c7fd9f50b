// The tokens under construction and their hand-over to the sink.
#include "html/HtmlTokenizerMachine.h"
#include "text/Utf8.h"

#include <algorithm>

namespace vantrel::extractor::html {

using Machine = Tokenizer::Machine;

namespace {

// The part of text that goes into a field of which used bytes are taken:
// each character that starts before the cap, whole, so that the field is
// the same however its characters arrive.
std::string_view fitting(std::string_view text, std::size_t used, std::size_t cap) {
    std::size_t take = std::min(cap - std::min(cap, used), text.size());
    while (take < text.size() && (static_cast<unsigned char>(text[take]) & 0xC0) == 0x80) {
        ++take;
    }
    return text.substr(0, take);
}

} // namespace

void Machine::emit(char32_t c) {
    if (c < 0x80) {
        text_.push_back(static_cast<char>(c));
    } else {
        appendUtf8(text_, c);
    }
}

void Machine::emit(std::string_view text) {
    if (text_.size() + text.size() < kTextBatchBytes) {
        text_.append(text);
        return;
    }
    // A long run goes to the sink as it lies in the input.
    flushText();
    sink_.characters(text);
}

void Machine::flushText() {
    if (!text_.empty()) {
        sink_.characters(text_);
        text_.clear();
    }
}

void Machine::startTag(bool endTag) {
    endTag_ = endTag;
    selfClosing_ = false;
    tagName_.clear();
    attributeBytes_.clear();
    attributes_.clear();
    keepAttribute_ = false;
}

void Machine::emitTag() {
    flushText();
    state_ = State::Data; // before the sink, which may switch it
    if (endTag_) {
        sink_.endTag(tagName_);
        return;
    }
    attributeViews_.clear();
    const std::string_view bytes = attributeBytes_;
    for (std::size_t k = 0; k < attributes_.size(); ++k) {
        const AttributeSpan& a = attributes_[k];
        const std::size_t valueEnd =
            k + 1 < attributes_.size() ? attributes_[k + 1].nameOffset : bytes.size();
        attributeViews_.push_back({bytes.substr(a.nameOffset, a.nameLength),
                                   bytes.substr(a.valueOffset, valueEnd - a.valueOffset)});
    }
    lastStartTag_ = tagName_;
    sink_.startTag(tagName_, attributeViews_, selfClosing_);
}

void Machine::startAttribute() {
    // End tags keep no attributes; past the cap they are dropped too.
    keepAttribute_ = !endTag_ && attributes_.size() < kMaxAttributes;
    attributeNameOffset_ = static_cast<std::uint32_t>(attributeBytes_.size());
}

void Machine::appendNameCharacter(bool tagName, char32_t c) {
    char bytes[4];
    appendName(tagName, std::string_view(bytes, encodeUtf8(c, bytes)));
}

// A run of a tag's or an attribute's name, lower-cased, up to the cap.
void Machine::appendName(bool tagName, std::string_view run) {
    if (!tagName && !keepAttribute_) {
        return;
    }
    std::string& to = tagName ? tagName_ : attributeBytes_;
    const std::size_t start = to.size();
    const std::string_view taken =
        fitting(run, start - (tagName ? 0 : attributeNameOffset_), kMaxNameBytes);
    to.resize(start + taken.size());
    // Through a pointer of its own: a store through the string's own may
    // change its size, as far as the compiler knows.
    char* out = to.data() + start;
    for (const char c : taken) {
        *out++ = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c;
    }
}

// On leaving the attribute name state: a name already on the tag drops the
// new attribute. Hashes first, so that a tag full of attributes stays cheap.
void Machine::finishAttributeName() {
    if (!keepAttribute_) {
        return;
    }
    const std::string_view name = std::string_view(attributeBytes_).substr(attributeNameOffset_);
    std::uint32_t hash = 2166136261U;
    for (const char ch : name) {
        hash = (hash ^ static_cast<unsigned char>(ch)) * 16777619U;
    }
    const bool duplicate = std::any_of(attributes_.begin(), attributes_.end(), [&](const auto& a) {
        return a.hash == hash && a.nameLength == name.size() &&
               std::string_view(attributeBytes_).substr(a.nameOffset, a.nameLength) == name;
    });
    if (duplicate) {
        keepAttribute_ = false;
        attributeBytes_.resize(attributeNameOffset_);
        return;
    }
    const auto length = static_cast<std::uint32_t>(name.size());
    attributes_.push_back({attributeNameOffset_, length, attributeNameOffset_ + length, hash});
}

void Machine::appendAttributeValue(std::string_view text) {
    if (keepAttribute_) {
        const std::size_t used = attributeBytes_.size() - attributes_.back().valueOffset;
        attributeBytes_.append(fitting(text, used, kMaxValueBytes));
    }
}

void Machine::appendAttributeValue(char32_t c) {
    char bytes[4];
    appendAttributeValue(std::string_view(bytes, encodeUtf8(c, bytes)));
}

void Machine::appendComment(std::string_view text) {
    comment_.append(fitting(text, comment_.size(), kMaxValueBytes));
}

void Machine::appendComment(char32_t c) {
    char bytes[4];
    appendComment(std::string_view(bytes, encodeUtf8(c, bytes)));
}

void Machine::emitComment() {
    flushText();
    sink_.comment(comment_);
    comment_.clear();
}

void Machine::startDoctype() {
    doctypeName_.clear();
    publicId_.clear();
    systemId_.clear();
    hasPublicId_ = false;
    hasSystemId_ = false;
    forceQuirks_ = false;
}

void Machine::emitDoctype() {
    flushText();
    Doctype doctype;
    doctype.name = doctypeName_;
    doctype.publicId = publicId_;
    doctype.systemId = systemId_;
    doctype.hasPublicId = hasPublicId_;
    doctype.hasSystemId = hasSystemId_;
    doctype.forceQuirks = forceQuirks_;
    sink_.doctype(doctype);
}

} // namespace vantrel::extractor::html
