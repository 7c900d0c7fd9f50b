// How the visible text of an HTML document is laid out: block breaks, list
// markers, table cells by tabs, preformatted text, and what is not shown at
// all. Tree construction drives it with the elements it opens and closes, in
// order, and the text it inserts.
#pragma once

#include "html/HtmlElements.h"
#include "html/HtmlTokens.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::extractor::html {

class TextLayout {
  public:
    // Where a table began in the text, for what is moved out of it and
    // written before it once the table ends.
    struct Mark {
        std::size_t offset = 0;
        int breaksOwed = 0;
        bool spaceOwed = false;
        bool hidden = false;
    };

    // Whether an element hides all it holds, from its tag and attributes.
    static bool hides(Tag tag, std::span<const Attribute> attributes, bool foreign);

    // An element opens inside the last one open; `foreign` for SVG and MathML.
    void open(Tag tag, std::span<const Attribute> attributes, bool foreign);
    // The last open element ends.
    void close();
    // An element ends before those opened after it (misnested markup).
    void closeAt(std::size_t index);
    // An element not kept (past the depth cap) still separates words if it
    // would start a block.
    void boundary(Tag tag);
    bool hidden() const { return hidden_ > 0; }
    void text(std::string_view utf8);

    Mark mark() const;
    // Writes text that belongs before a table at the table's mark; on a line
    // of its own, or joined to the text before it.
    void insertAt(const Mark& mark, std::string_view text, bool ownLine);

    // Room for text of about this size, taken only as it is written (a large
    // allocation's pages are not touched until then): growing by copies
    // would briefly hold the text twice.
    void reserve(std::size_t bytes);

    // The text, ending in exactly one line end, or empty.
    std::string finish();
    // Whether the text began with a block, so that it starts a line.
    bool startsOnNewLine() const { return startsOnNewLine_; }

  private:
    enum Undo : std::uint8_t {
        kUndoHidden = 1,
        kUndoPre = 2,
        kUndoList = 4,
        kUndoTable = 8,
        kUndoCell = 16,
        kUndoItem = 32,
    };

    struct Frame {
        std::uint8_t breaks = 0; // line ends owed when the element closes
        std::uint8_t undo = 0;
        bool absorbedBefore = false; // cells and items: state to restore
        std::size_t outputMark = 0;
        std::size_t prefixMark = 0;
    };

    struct ListLevel {
        bool numbered;
        char style;
        long long next;
    };

    struct Attributes {
        std::string_view alt, start, type, value;
        bool hidden = false;
        bool open = false;
        bool hasAlt = false;
    };

    static Attributes readAttributes(std::span<const Attribute> attributes);
    void requestBreaks(int count);
    void lineBreak();
    void beginContent();
    void collapsedText(std::string_view text);
    void preservedText(std::string_view text);
    void startList(Frame& frame, bool numbered, const Attributes& attributes);
    void startItem(Frame& frame, const Attributes& attributes);
    void startCell(Frame& frame);
    void closeFrame(const Frame& frame);

    std::vector<Frame> frames_;
    std::vector<ListLevel> lists_;
    std::vector<unsigned> rowCells_{0}; // cells so far in the current row, per open table
    std::string out_;
    std::string prefix_;
    int hidden_ = 0;
    int preserving_ = 0;
    int pendingBreaks_ = 0;
    bool pendingSpace_ = false;
    bool absorbing_ = false; // a cell or item has begun but shown nothing yet
    bool prefixHasMarker_ = false;
    bool startsOnNewLine_ = false;
};

} // namespace vantrel::extractor::html
