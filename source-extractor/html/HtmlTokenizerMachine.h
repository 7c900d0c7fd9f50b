// The tokenizer's state machine, shared by the files that implement its
// states: the input side (HtmlTokenizer.cpp), tags and text, comments and
// DOCTYPEs, and character references.
#pragma once

#include "html/HtmlNamedReferences.h"
#include "html/HtmlTokenizer.h"
#include "html/HtmlTokens.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::extractor::html {

// In groups, each family's states together: step() dispatches by range.
enum class State : std::uint8_t {
    Data,
    RcData,
    RawText,
    ScriptData,
    PlainText,
    TagOpen,
    EndTagOpen,
    TagName,
    // RCDATA and RAWTEXT share their less-than and end tag states, and script
    // data its end tag ones, apart from the state they fall back to.
    TextLessThan,
    TextEndTagOpen,
    TextEndTagName,
    ScriptLessThan,
    ScriptEscapeStart,
    ScriptEscapeStartDash,
    ScriptEscaped,
    ScriptEscapedDash,
    ScriptEscapedDashDash,
    ScriptEscapedLessThan,
    ScriptDoubleEscapeStart,
    ScriptDoubleEscaped,
    ScriptDoubleEscapedDash,
    ScriptDoubleEscapedDashDash,
    ScriptDoubleEscapedLessThan,
    ScriptDoubleEscapeEnd,
    BeforeAttributeName,
    AttributeName,
    AfterAttributeName,
    BeforeAttributeValue,
    AttributeValueDouble,
    AttributeValueSingle,
    AttributeValueUnquoted,
    AfterAttributeValueQuoted,
    SelfClosingStartTag,
    BogusComment,
    MarkupDeclarationOpen,
    CommentStart,
    CommentStartDash,
    Comment,
    CommentLessThan,
    CommentLessThanBang,
    CommentLessThanBangDash,
    CommentLessThanBangDashDash,
    CommentEndDash,
    CommentEnd,
    CommentEndBang,
    Doctype,
    BeforeDoctypeName,
    DoctypeName,
    AfterDoctypeName,
    DoctypeKeyword,
    AfterDoctypePublicKeyword,
    BeforeDoctypePublicId,
    DoctypePublicIdDouble,
    DoctypePublicIdSingle,
    AfterDoctypePublicId,
    BetweenDoctypeIds,
    AfterDoctypeSystemKeyword,
    BeforeDoctypeSystemId,
    DoctypeSystemIdDouble,
    DoctypeSystemIdSingle,
    AfterDoctypeSystemId,
    BogusDoctype,
    CdataSection,
    CdataSectionBracket,
    CdataSectionEnd,
    CharacterReference,
    NamedCharacterReference,
    AmbiguousAmpersand,
    NumericCharacterReference,
    HexadecimalStart,
    DecimalStart,
    Hexadecimal,
    Decimal,
};

inline constexpr char32_t kEndOfFile = 0xFFFFFFFF;

class Tokenizer::Machine {
  public:
    explicit Machine(TokenSink& sink) : sink_(sink) {}

    void feed(std::string_view bytes);
    void finish();
    void switchTo(TextState state);
    void setForeignContent(bool foreign) { foreign_ = foreign; }

  private:
    struct AttributeSpan {
        std::uint32_t nameOffset;
        std::uint32_t nameLength;
        std::uint32_t valueOffset;
        std::uint32_t hash;
    };

    // Input.
    const char* fastRun(const char* p, const char* end);
    void consume(char32_t c);
    bool step(char32_t c);
    void takeCarried(std::string_view bytes, std::size_t& i);

    // One handler per family of states; each returns false to reconsume c
    // in the state it switched to.
    bool stepText(char32_t c);
    bool stepTag(char32_t c);
    bool stepAttribute(char32_t c);
    bool stepAttributeValue(char32_t c);
    bool stepTextEndTag(char32_t c);
    bool stepScript(char32_t c);
    bool stepScriptDoubleEscape(char32_t c);
    bool stepMarkup(char32_t c);
    bool stepComment(char32_t c);
    bool stepDoctype(char32_t c);
    bool stepDoctypeIds(char32_t c);
    bool stepCdata(char32_t c);
    bool stepCharacterReference(char32_t c);
    bool stepNumericReference(char32_t c);
    void resolveNamedReference(char32_t next);
    void endNumericReference();

    // Tokens.
    void emit(char32_t c);
    void emit(std::string_view text);
    void flushText();
    void startTag(bool endTag);
    void emitTag();
    void emitComment();
    void emitDoctype();
    void startDoctype();
    void startAttribute();
    void appendNameCharacter(bool tagName, char32_t c);
    void appendName(bool tagName, std::string_view run);
    void finishAttributeName();
    void appendAttributeValue(std::string_view text);
    void appendAttributeValue(char32_t c);
    void appendComment(std::string_view text);
    void appendComment(char32_t c);
    bool appropriateEndTag() const { return !lastStartTag_.empty() && tagName_ == lastStartTag_; }
    bool referenceInAttribute() const;
    void flushReference(std::string_view text);
    void beginReference();

    TokenSink& sink_;
    State state_ = State::Data;
    bool foreign_ = false;

    // Input preprocessing: a UTF-8 sequence cut by the chunk's end, and
    // whether the last character was a CR (an LF right after it goes).
    unsigned char carried_[4] = {};
    std::size_t carriedLength_ = 0;
    bool afterCr_ = false;

    std::string text_; // characters not yet handed to the sink

    std::string tagName_;
    bool endTag_ = false;
    bool selfClosing_ = false;
    std::string lastStartTag_;
    std::string attributeBytes_; // each kept attribute's name, then its value
    std::vector<AttributeSpan> attributes_;
    std::vector<Attribute> attributeViews_;
    bool keepAttribute_ = false;
    std::uint32_t attributeNameOffset_ = 0;

    std::string comment_;
    std::string doctypeName_;
    std::string publicId_;
    std::string systemId_;
    bool hasPublicId_ = false;
    bool hasSystemId_ = false;
    bool forceQuirks_ = false;

    // The standard's temporary buffer: end tag names in text, the word after
    // "<!" or a DOCTYPE name, and the characters of a character reference.
    std::string buffer_;
    State textState_ = State::Data; // what TextLessThan and friends fall back to
    State returnState_ = State::Data;
    std::uint32_t referenceCode_ = 0;
    NamedReferenceMatch match_;
};

// Limits that keep every token's cost linear in its input.
inline constexpr std::size_t kMaxAttributes = 512;
inline constexpr std::size_t kMaxNameBytes = 1024;
inline constexpr std::size_t kMaxValueBytes = std::size_t{1} << 20;
inline constexpr std::size_t kTextBatchBytes = std::size_t{1} << 16;

inline bool isAsciiAlpha(char32_t c) {
    return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
}
inline bool isAsciiDigit(char32_t c) {
    return c >= '0' && c <= '9';
}
inline bool isAsciiAlphanumeric(char32_t c) {
    return isAsciiAlpha(c) || isAsciiDigit(c);
}
inline bool isAsciiUpper(char32_t c) {
    return c >= 'A' && c <= 'Z';
}
inline char32_t toAsciiLower(char32_t c) {
    return isAsciiUpper(c) ? c + 0x20 : c;
}
inline bool isHtmlSpace(char32_t c) {
    return c == '\t' || c == '\n' || c == '\f' || c == ' ';
}

} // namespace vantrel::extractor::html
