// Tree construction as the HTML Standard defines it, without the tree: the
// insertion modes decide, token by token, which elements are open, and every
// insertion and removal is handed to the text layout as it happens. Open
// elements are small records on a stack capped in depth; past the cap, start
// tags are not kept but their text still flows, so any nesting costs time in
// proportion to the input.
#pragma once

#include "html/HtmlElements.h"
#include "html/HtmlTextLayout.h"
#include "html/HtmlTokens.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::extractor::html {

class Tokenizer;

class TreeBuilder final : public TokenSink {
  public:
    // Open elements kept at most; the active formatting elements likewise.
    static constexpr std::size_t kMaxDepth = 512;

    // The tokenizer that feeds this builder, told of text states and of
    // foreign content; may be none when the sink is driven directly.
    void attach(Tokenizer* tokenizer) { tokenizer_ = tokenizer; }

    void startTag(std::string_view name, std::span<const Attribute> attributes,
                  bool selfClosing) override;
    void endTag(std::string_view name) override;
    void characters(std::string_view text) override;
    void comment(std::string_view text) override;
    void doctype(const Doctype& doctype) override;
    void endOfFile() override;

    // Room for the text of a document of this size.
    void reserve(std::size_t bytes) { main_.reserve(bytes); }

    // The text, once the end of the file has been handled.
    std::string finish();

  private:
    enum class Mode : std::uint8_t {
        Initial,
        BeforeHtml,
        BeforeHead,
        InHead,
        AfterHead,
        InBody,
        Text,
        InTable,
        InTableText,
        InCaption,
        InColumnGroup,
        InTableBody,
        InRow,
        InCell,
        InSelect,
        InSelectInTable,
        InTemplate,
        AfterBody,
        InFrameset,
        AfterFrameset,
        AfterAfterBody,
        AfterAfterFrameset,
    };

    enum class Scope : std::uint8_t { Default, ListItem, Button, Table, Select };

    enum class TokenType : std::uint8_t { Start, End, Characters, EndOfFile };

    struct Token {
        TokenType type;
        Tag tag = Tag::Other;
        std::string_view name;
        std::span<const Attribute> attributes;
        bool selfClosing = false;
        std::string_view text; // characters not yet handled
    };

    struct OpenElement {
        std::uint64_t key; // its tag, or for an unknown name a hash of it
        std::uint32_t id;
        std::uint16_t slot;   // the layout it was written to
        std::uint16_t frames; // layout frames it closes: its own, and those of
                              // elements taken off the stack beneath it
        Tag tag;
        Ns ns;
        bool htmlIntegrationPoint; // MathML annotation-xml holding HTML
    };

    struct Formatting {
        std::uint64_t attributesHash; // same tag and attributes: same family
        std::uint32_t id;             // 0 for a marker
        std::uint32_t index;          // its place on the stack, while there
        Tag tag;
        bool hidden;
    };

    // An open table, with where it began and the layout that collects what
    // foster parenting moves out of it.
    struct OpenTable {
        std::uint32_t id;
        std::uint32_t index;
        std::uint16_t slot;
        std::uint16_t fosterSlot; // 0 until something is fostered
        TextLayout::Mark mark;
    };

    // The dispatcher and the insertion modes.
    void dispatch(Token& t);
    bool htmlRulesApply(const Token& t) const;
    void apply(Mode mode, Token& t);
    void initial(Token& t);
    void beforeHtml(Token& t);
    void beforeHead(Token& t);
    void inHead(Token& t);
    void afterHead(Token& t);
    void inBody(Token& t);
    void inBodyCharacters(Token& t);
    void inBodyStart(Token& t);
    bool inBodyStartLeaf(Token& t);
    void inBodyStartContainer(Token& t);
    void selectStart(Token& t);
    void inBodyStartFormatting(Token& t);
    void inBodyEnd(Token& t);
    void inBodyEndItems(Token& t);
    void inBodyEndForm();
    void anyOtherEndTag(const Token& t);
    void listItemStart(Token& t);
    void framesetStart(Token& t);
    void textMode(Token& t);
    void inTable(Token& t);
    void inTableStart(Token& t);
    void inTableText(Token& t);
    void flushTableText();
    void inCaption(Token& t);
    void inColumnGroup(Token& t);
    void inTableBody(Token& t);
    void inRow(Token& t);
    void inCell(Token& t);
    void inSelect(Token& t);
    void inSelectInTable(Token& t);
    void inTemplate(Token& t);
    void afterBody(Token& t);
    void inFrameset(Token& t);
    void afterAfter(Token& t);
    void inForeign(Token& t);
    void foreignEnd(Token& t);
    void popToHtmlOrIntegrationPoint();
    void doctypeQuirks(const Doctype& doctype);

    // Insertion and removal.
    bool insertHtml(std::string_view name, Tag tag, std::span<const Attribute> attributes,
                    bool force = false);
    bool insertHtml(const Token& t, bool force = false) {
        return insertHtml(t.name, t.tag, t.attributes, force);
    }
    void insertVoid(const Token& t);
    bool insertForeign(const Token& t, Ns ns);
    void insertFormatting(const Token& t);
    void insertMarker();
    void insertText(std::string_view text);
    bool insertLeadingSpace(Token& t);
    void rawText(const Token& t, TextState state);
    std::uint16_t placeSlot();
    std::uint16_t fosterSlot();
    TextLayout& layoutOf(std::uint16_t slot);
    void push(const OpenElement& element);
    void popCurrent();
    void popUntil(Tag tag);
    void popUntilIndex(std::size_t index);
    void removeFromStack(std::size_t index);
    void insertIntoStack(std::size_t index, const OpenElement& element);
    void shiftIndexes(std::size_t from, int delta);
    void finishTable();
    void stopParsing();

    // Queries and the shared steps.
    bool currentIs(Tag tag) const;
    bool currentIsOneOf(std::initializer_list<Tag> tags) const;
    bool inScope(Tag tag, Scope scope = Scope::Default) const;
    bool indexInScope(std::size_t index) const;
    bool hasTemplate() const { return counts_[static_cast<std::size_t>(Tag::Template)] > 0; }
    void generateImpliedEndTags(Tag except = Tag::Other, bool thoroughly = false);
    void closeP();
    void closePInButtonScope();
    void closeCell();
    void clearBackTo(std::initializer_list<Tag> tags);
    void resetInsertionMode();
    void reconstructFormatting();
    void clearFormattingToMarker();
    bool adoptionAgency(const Token& t);
    void adoptOnce(std::size_t fi, std::size_t feIndex, std::size_t fb);
    static bool isSpecial(const OpenElement& node);
    std::size_t formattingIndexOf(std::uint32_t id) const;
    bool formattingInStack(const Formatting& f) const;
    void switchTokenizer(TextState state);
    void syncForeignContent();

    Tokenizer* tokenizer_ = nullptr;
    TextLayout main_;
    std::vector<std::unique_ptr<TextLayout>> fostered_; // layout slots 1, 2, ...
    std::vector<OpenElement> stack_;
    std::vector<Formatting> formatting_;
    std::vector<OpenTable> tables_;
    std::vector<Mode> templateModes_;
    // Open HTML elements by tag, and those of other names by a bucket of their
    // name, so that searches for what is not open cost nothing.
    static std::size_t countIndex(Tag tag, std::uint64_t key) {
        return tag == Tag::Other ? 256 + (key & 255) : static_cast<std::size_t>(tag);
    }
    std::vector<std::uint32_t> counts_ = std::vector<std::uint32_t>(512, 0);
    std::uint32_t lastId_ = 0;
    std::uint32_t headId_ = 0;
    std::uint32_t formId_ = 0;
    Mode mode_ = Mode::Initial;
    Mode originalMode_ = Mode::Initial;
    bool quirks_ = false;
    bool framesetOk_ = true;
    bool fostering_ = false;
    bool skipNewline_ = false;
    bool tableTextSpace_ = false; // table text so far: white space, kept as one space
    bool tableTextHasWords_ = false;
    bool foreign_ = false;
    bool stopped_ = false;
};

} // namespace vantrel::extractor::html
