// What the HTML tokenizer hands to tree construction, and what tree
// construction tells the tokenizer in return. Views passed to a sink are valid
// only during the call.
#pragma once

#include <span>
#include <string_view>

namespace vantrel::extractor::html {

struct Attribute {
    std::string_view name;  // lower-cased
    std::string_view value; // UTF-8, character references resolved
};

struct Doctype {
    std::string_view name;
    std::string_view publicId;
    std::string_view systemId;
    bool hasPublicId = false;
    bool hasSystemId = false;
    bool forceQuirks = false;
};

// The text states that tree construction switches the tokenizer to after
// certain start tags (title and textarea, style, script, plaintext, ...).
enum class TextState { Data, RcData, RawText, ScriptData, PlainText };

class TokenSink {
  public:
    virtual ~TokenSink() = default;
    // Tag names are lower-cased; duplicate attributes are already dropped.
    virtual void startTag(std::string_view name, std::span<const Attribute> attributes,
                          bool selfClosing) = 0;
    virtual void endTag(std::string_view name) = 0;
    // A run of characters in valid UTF-8, split anywhere between code points.
    // U+0000 reaches the sink only from the data state and CDATA sections,
    // where tree construction decides what becomes of it.
    virtual void characters(std::string_view text) = 0;
    virtual void comment(std::string_view text) = 0;
    virtual void doctype(const Doctype& doctype) = 0;
    virtual void endOfFile() = 0;
};

} // namespace vantrel::extractor::html
