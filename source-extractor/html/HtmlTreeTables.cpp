// The insertion modes of tables, select and template. Text that a table
// cannot hold is fostered: written before the table, as browsers show it.
#include "html/HtmlTreeBuilder.h"

#include <algorithm>

namespace vantrel::extractor::html {
namespace {

bool isOneOf(Tag tag, std::initializer_list<Tag> tags) {
    return std::find(tags.begin(), tags.end(), tag) != tags.end();
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

bool isStart(const auto& t, std::initializer_list<Tag> tags) {
    return t.type == decltype(t.type)::Start && isOneOf(t.tag, tags);
}

bool isEnd(const auto& t, std::initializer_list<Tag> tags) {
    return t.type == decltype(t.type)::End && isOneOf(t.tag, tags);
}

constexpr std::initializer_list<Tag> kTableContext = {Tag::Table, Tag::Template, Tag::Html};
constexpr std::initializer_list<Tag> kBodyContext = {Tag::Tbody, Tag::Tfoot, Tag::Thead,
                                                     Tag::Template, Tag::Html};
constexpr std::initializer_list<Tag> kRowContext = {Tag::Tr, Tag::Template, Tag::Html};
constexpr std::initializer_list<Tag> kTableParts = {
    Tag::Caption, Tag::Table, Tag::Tbody, Tag::Tfoot, Tag::Thead, Tag::Tr, Tag::Td, Tag::Th};

} // namespace

void TreeBuilder::inTable(Token& t) {
    if (t.type == TokenType::Characters) {
        if (currentIsOneOf({Tag::Table, Tag::Tbody, Tag::Tfoot, Tag::Thead, Tag::Tr})) {
            tableTextSpace_ = false;
            tableTextHasWords_ = false;
            originalMode_ = mode_;
            mode_ = Mode::InTableText;
            return;
        }
    } else if (t.type == TokenType::Start) {
        inTableStart(t);
        return;
    } else if (t.type == TokenType::End) {
        if (t.tag == Tag::Table) {
            if (inScope(Tag::Table, Scope::Table)) {
                popUntil(Tag::Table);
                resetInsertionMode();
            }
            return;
        }
        if (t.tag == Tag::Template) {
            inHead(t);
            return;
        }
        if (isOneOf(t.tag, {Tag::Body, Tag::Caption, Tag::Col, Tag::Colgroup, Tag::Html, Tag::Tbody,
                            Tag::Td, Tag::Tfoot, Tag::Th, Tag::Thead, Tag::Tr})) {
            return;
        }
    } else {
        inBody(t);
        return;
    }
    fostering_ = true;
    inBody(t);
    fostering_ = false;
}

void TreeBuilder::inTableStart(Token& t) {
    switch (t.tag) {
    case Tag::Caption:
        clearBackTo(kTableContext);
        insertMarker();
        if (insertHtml(t)) {
            mode_ = Mode::InCaption;
        }
        return;
    case Tag::Colgroup:
    case Tag::Col:
        clearBackTo(kTableContext);
        if (insertHtml(t.tag == Tag::Col ? "colgroup" : t.name, Tag::Colgroup,
                       t.tag == Tag::Col ? std::span<const Attribute>() : t.attributes)) {
            mode_ = Mode::InColumnGroup;
            if (t.tag == Tag::Col) {
                dispatch(t);
            }
        }
        return;
    case Tag::Tbody:
    case Tag::Tfoot:
    case Tag::Thead:
    case Tag::Td:
    case Tag::Th:
    case Tag::Tr: {
        clearBackTo(kTableContext);
        const bool implied = isOneOf(t.tag, {Tag::Td, Tag::Th, Tag::Tr});
        if (implied ? insertHtml("tbody", Tag::Tbody, {}) : insertHtml(t)) {
            mode_ = Mode::InTableBody;
            if (implied) {
                dispatch(t);
            }
        }
        return;
    }
    case Tag::Table:
        if (inScope(Tag::Table, Scope::Table)) {
            popUntil(Tag::Table);
            resetInsertionMode();
            dispatch(t);
        }
        return;
    case Tag::Style:
    case Tag::Script:
    case Tag::Template:
        inHead(t);
        return;
    case Tag::Input: {
        const bool hidden =
            std::any_of(t.attributes.begin(), t.attributes.end(), [](const Attribute& a) {
                return a.name == "type" && a.value.size() == 6 &&
                       std::equal(a.value.begin(), a.value.end(), "hidden",
                                  [](char x, char y) { return (x | 0x20) == y; });
            });
        if (hidden) {
            insertVoid(t);
            return;
        }
        break;
    }
    case Tag::Form:
        if (!hasTemplate() && formId_ == 0 && insertHtml(t)) {
            formId_ = stack_.back().id;
            popCurrent();
        }
        return;
    default:
        break;
    }
    fostering_ = true;
    inBody(t);
    fostering_ = false;
}

// Table text that is all white space stays in the table; any other goes
// before it. The white space is kept as one space: it only separates words.
void TreeBuilder::inTableText(Token& t) {
    if (t.type != TokenType::Characters) {
        flushTableText();
        dispatch(t);
        return;
    }
    std::string_view text = t.text;
    t.text = {};
    if (!tableTextHasWords_) {
        std::size_t space = 0;
        while (space < text.size() && (isSpace(text[space]) || text[space] == '\0')) {
            ++space;
        }
        tableTextSpace_ = tableTextSpace_ || space > 0;
        text.remove_prefix(space);
        if (text.empty()) {
            return;
        }
        tableTextHasWords_ = true;
        if (tableTextSpace_) {
            Token pending{TokenType::Characters, Tag::Other, {}, {}, false, " "};
            fostering_ = true;
            inBody(pending);
            fostering_ = false;
        }
    }
    Token words{TokenType::Characters, Tag::Other, {}, {}, false, text};
    fostering_ = true;
    inBody(words);
    fostering_ = false;
}

void TreeBuilder::flushTableText() {
    if (!tableTextHasWords_ && tableTextSpace_) {
        insertText(" ");
    }
    tableTextSpace_ = false;
    tableTextHasWords_ = false;
    mode_ = originalMode_;
}

void TreeBuilder::inCaption(Token& t) {
    const bool ends = isEnd(t, {Tag::Caption, Tag::Table}) ||
                      isStart(t, {Tag::Caption, Tag::Col, Tag::Colgroup, Tag::Tbody, Tag::Td,
                                  Tag::Tfoot, Tag::Th, Tag::Thead, Tag::Tr});
    if (ends) {
        if (!inScope(Tag::Caption, Scope::Table)) {
            return;
        }
        generateImpliedEndTags();
        popUntil(Tag::Caption);
        clearFormattingToMarker();
        mode_ = Mode::InTable;
        if (!isEnd(t, {Tag::Caption})) {
            dispatch(t);
        }
        return;
    }
    if (isEnd(t, {Tag::Body, Tag::Col, Tag::Colgroup, Tag::Html, Tag::Tbody, Tag::Td, Tag::Tfoot,
                  Tag::Th, Tag::Thead, Tag::Tr})) {
        return;
    }
    inBody(t);
}

void TreeBuilder::inColumnGroup(Token& t) {
    if (t.type == TokenType::Characters) {
        std::size_t space = 0;
        while (space < t.text.size() && isSpace(t.text[space])) {
            ++space;
        }
        insertText(t.text.substr(0, space));
        t.text.remove_prefix(space);
        if (t.text.empty()) {
            return;
        }
    } else if (isStart(t, {Tag::Html}) || t.type == TokenType::EndOfFile) {
        inBody(t);
        return;
    } else if (isStart(t, {Tag::Col})) {
        insertVoid(t);
        return;
    } else if (isEnd(t, {Tag::Colgroup})) {
        if (currentIs(Tag::Colgroup)) {
            popCurrent();
            mode_ = Mode::InTable;
        }
        return;
    } else if (isEnd(t, {Tag::Col})) {
        return;
    } else if (isStart(t, {Tag::Template}) || isEnd(t, {Tag::Template})) {
        inHead(t);
        return;
    }
    if (!currentIs(Tag::Colgroup)) {
        t.text = {};
        return;
    }
    popCurrent();
    mode_ = Mode::InTable;
    if (t.type != TokenType::Characters) {
        dispatch(t);
    }
}

void TreeBuilder::inTableBody(Token& t) {
    if (isStart(t, {Tag::Tr, Tag::Th, Tag::Td})) {
        clearBackTo(kBodyContext);
        const bool implied = t.tag != Tag::Tr;
        if (implied ? insertHtml("tr", Tag::Tr, {}) : insertHtml(t)) {
            mode_ = Mode::InRow;
            if (implied) {
                dispatch(t);
            }
        }
        return;
    }
    if (isEnd(t, {Tag::Tbody, Tag::Tfoot, Tag::Thead})) {
        if (inScope(t.tag, Scope::Table)) {
            clearBackTo(kBodyContext);
            popCurrent();
            mode_ = Mode::InTable;
        }
        return;
    }
    if (isStart(t, {Tag::Caption, Tag::Col, Tag::Colgroup, Tag::Tbody, Tag::Tfoot, Tag::Thead}) ||
        isEnd(t, {Tag::Table})) {
        if (inScope(Tag::Tbody, Scope::Table) || inScope(Tag::Thead, Scope::Table) ||
            inScope(Tag::Tfoot, Scope::Table)) {
            clearBackTo(kBodyContext);
            popCurrent();
            mode_ = Mode::InTable;
            dispatch(t);
        }
        return;
    }
    if (isEnd(t, {Tag::Body, Tag::Caption, Tag::Col, Tag::Colgroup, Tag::Html, Tag::Td, Tag::Th,
                  Tag::Tr})) {
        return;
    }
    inTable(t);
}

void TreeBuilder::inRow(Token& t) {
    if (isStart(t, {Tag::Th, Tag::Td})) {
        clearBackTo(kRowContext);
        if (insertHtml(t)) {
            mode_ = Mode::InCell;
            insertMarker();
        }
        return;
    }
    const bool endsRow = isEnd(t, {Tag::Tr, Tag::Table}) ||
                         isStart(t, {Tag::Caption, Tag::Col, Tag::Colgroup, Tag::Tbody, Tag::Tfoot,
                                     Tag::Thead, Tag::Tr});
    const bool endsGroup = isEnd(t, {Tag::Tbody, Tag::Tfoot, Tag::Thead});
    if (endsRow || endsGroup) {
        if ((endsGroup && !inScope(t.tag, Scope::Table)) || !inScope(Tag::Tr, Scope::Table)) {
            return;
        }
        clearBackTo(kRowContext);
        popCurrent();
        mode_ = Mode::InTableBody;
        if (!isEnd(t, {Tag::Tr})) {
            dispatch(t);
        }
        return;
    }
    if (isEnd(t, {Tag::Body, Tag::Caption, Tag::Col, Tag::Colgroup, Tag::Html, Tag::Td, Tag::Th})) {
        return;
    }
    inTable(t);
}

void TreeBuilder::closeCell() {
    generateImpliedEndTags();
    while (!stack_.empty() && !currentIsOneOf({Tag::Td, Tag::Th})) {
        popCurrent();
    }
    popCurrent();
    clearFormattingToMarker();
    mode_ = Mode::InRow;
}

void TreeBuilder::inCell(Token& t) {
    if (isEnd(t, {Tag::Td, Tag::Th})) {
        if (inScope(t.tag, Scope::Table)) {
            generateImpliedEndTags();
            popUntil(t.tag);
            clearFormattingToMarker();
            mode_ = Mode::InRow;
        }
        return;
    }
    if (isStart(t, {Tag::Caption, Tag::Col, Tag::Colgroup, Tag::Tbody, Tag::Td, Tag::Tfoot, Tag::Th,
                    Tag::Thead, Tag::Tr})) {
        if (inScope(Tag::Td, Scope::Table) || inScope(Tag::Th, Scope::Table)) {
            closeCell();
            dispatch(t);
        }
        return;
    }
    if (isEnd(t, {Tag::Body, Tag::Caption, Tag::Col, Tag::Colgroup, Tag::Html})) {
        return;
    }
    if (isEnd(t, {Tag::Table, Tag::Tbody, Tag::Tfoot, Tag::Thead, Tag::Tr})) {
        if (inScope(t.tag, Scope::Table)) {
            closeCell();
            dispatch(t);
        }
        return;
    }
    inBody(t);
}

// A select shows nothing (its options are a control), but its end decides
// where the text after it goes.
void TreeBuilder::inSelect(Token& t) {
    if (t.type == TokenType::Characters) {
        std::string text(t.text);
        t.text = {};
        text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
        insertText(text);
        return;
    }
    if (t.type == TokenType::EndOfFile) {
        inBody(t);
        return;
    }
    if (isStart(t, {Tag::Html})) {
        inBody(t);
    } else if (isStart(t, {Tag::Option, Tag::Optgroup})) {
        if (currentIs(Tag::Option)) {
            popCurrent();
        }
        if (t.tag == Tag::Optgroup && currentIs(Tag::Optgroup)) {
            popCurrent();
        }
        insertHtml(t);
    } else if (isEnd(t, {Tag::Optgroup})) {
        if (currentIs(Tag::Option) && stack_.size() > 1 &&
            stack_[stack_.size() - 2].ns == Ns::Html &&
            stack_[stack_.size() - 2].tag == Tag::Optgroup) {
            popCurrent();
        }
        if (currentIs(Tag::Optgroup)) {
            popCurrent();
        }
    } else if (isEnd(t, {Tag::Option})) {
        if (currentIs(Tag::Option)) {
            popCurrent();
        }
    } else if (isEnd(t, {Tag::Select}) ||
               isStart(t, {Tag::Select, Tag::Input, Tag::Keygen, Tag::Textarea})) {
        if (inScope(Tag::Select, Scope::Select)) {
            popUntil(Tag::Select);
            resetInsertionMode();
            if (isStart(t, {Tag::Input, Tag::Keygen, Tag::Textarea})) {
                dispatch(t);
            }
        }
    } else if (isStart(t, {Tag::Script, Tag::Template}) || isEnd(t, {Tag::Template})) {
        inHead(t);
    }
}

void TreeBuilder::inSelectInTable(Token& t) {
    if (isStart(t, kTableParts) || (isEnd(t, kTableParts) && inScope(t.tag, Scope::Table))) {
        popUntil(Tag::Select);
        resetInsertionMode();
        dispatch(t);
        return;
    }
    if (isEnd(t, kTableParts)) {
        return;
    }
    inSelect(t);
}

// Template contents are never shown; the modes only keep the structure.
void TreeBuilder::inTemplate(Token& t) {
    if (t.type == TokenType::Characters) {
        inBody(t);
        return;
    }
    if (t.type == TokenType::EndOfFile) {
        if (!hasTemplate()) {
            stopParsing();
            return;
        }
        popUntil(Tag::Template);
        clearFormattingToMarker();
        if (!templateModes_.empty()) {
            templateModes_.pop_back();
        }
        resetInsertionMode();
        dispatch(t);
        return;
    }
    if (isStart(t, {Tag::Base, Tag::Basefont, Tag::Bgsound, Tag::Link, Tag::Meta, Tag::Noframes,
                    Tag::Script, Tag::Style, Tag::Template, Tag::Title}) ||
        isEnd(t, {Tag::Template})) {
        inHead(t);
        return;
    }
    if (t.type == TokenType::End) {
        return;
    }
    Mode next = Mode::InBody;
    if (isOneOf(t.tag, {Tag::Caption, Tag::Colgroup, Tag::Tbody, Tag::Tfoot, Tag::Thead})) {
        next = Mode::InTable;
    } else if (t.tag == Tag::Col) {
        next = Mode::InColumnGroup;
    } else if (t.tag == Tag::Tr) {
        next = Mode::InTableBody;
    } else if (t.tag == Tag::Td || t.tag == Tag::Th) {
        next = Mode::InRow;
    }
    if (!templateModes_.empty()) {
        templateModes_.back() = next;
    }
    mode_ = next;
    dispatch(t);
}

} // namespace vantrel::extractor::html
