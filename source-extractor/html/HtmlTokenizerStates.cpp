// The states of text, tags and attributes, and of script data.
#include "html/HtmlTokenizerMachine.h"
#include "text/Utf8.h"

namespace vantrel::extractor::html {

using Machine = Tokenizer::Machine;

bool Machine::step(char32_t c) {
    if (state_ <= State::PlainText) {
        return stepText(c);
    }
    if (state_ <= State::TagName) {
        return stepTag(c);
    }
    if (state_ <= State::TextEndTagName) {
        return stepTextEndTag(c);
    }
    if (state_ <= State::ScriptEscapedLessThan) {
        return stepScript(c);
    }
    if (state_ <= State::ScriptDoubleEscapeEnd) {
        return stepScriptDoubleEscape(c);
    }
    if (state_ <= State::SelfClosingStartTag) {
        return stepAttribute(c);
    }
    if (state_ <= State::MarkupDeclarationOpen) {
        return stepMarkup(c);
    }
    if (state_ <= State::CommentEndBang) {
        return stepComment(c);
    }
    if (state_ <= State::DoctypeKeyword) {
        return stepDoctype(c);
    }
    if (state_ <= State::BogusDoctype) {
        return stepDoctypeIds(c);
    }
    if (state_ <= State::CdataSectionEnd) {
        return stepCdata(c);
    }
    if (state_ <= State::AmbiguousAmpersand) {
        return stepCharacterReference(c);
    }
    return stepNumericReference(c);
}

bool Machine::stepText(char32_t c) {
    if (c == kEndOfFile) {
        return true;
    }
    const State state = state_;
    if (c == '<' && state != State::PlainText) {
        textState_ = state;
        state_ = state == State::Data         ? State::TagOpen
                 : state == State::ScriptData ? State::ScriptLessThan
                                              : State::TextLessThan;
    } else if (c == '&' && (state == State::Data || state == State::RcData)) {
        returnState_ = state;
        beginReference();
    } else if (c == 0 && state != State::Data) {
        emit(kReplacementCharacter);
    } else {
        emit(c); // in the data state, tree construction decides what NUL becomes
    }
    return true;
}

bool Machine::stepTag(char32_t c) {
    switch (state_) {
    case State::TagOpen:
        if (c == '!') {
            state_ = State::MarkupDeclarationOpen;
            buffer_.clear();
        } else if (c == '/') {
            state_ = State::EndTagOpen;
        } else if (isAsciiAlpha(c)) {
            startTag(false);
            state_ = State::TagName;
            return false;
        } else if (c == '?') {
            comment_.clear();
            state_ = State::BogusComment;
            return false;
        } else {
            emit('<');
            state_ = State::Data;
            return c == kEndOfFile;
        }
        return true;
    case State::EndTagOpen:
        if (isAsciiAlpha(c)) {
            startTag(true);
            state_ = State::TagName;
            return false;
        }
        if (c == '>') {
            state_ = State::Data;
            return true;
        }
        if (c == kEndOfFile) {
            emit("</");
            return true;
        }
        comment_.clear();
        state_ = State::BogusComment;
        return false;
    default: // TagName
        if (isHtmlSpace(c)) {
            state_ = State::BeforeAttributeName;
        } else if (c == '/') {
            state_ = State::SelfClosingStartTag;
        } else if (c == '>') {
            emitTag();
        } else if (c != kEndOfFile) {
            appendNameCharacter(true, c == 0 ? kReplacementCharacter : c);
        }
        return true; // at the end of the file the tag is dropped
    }
}

// The less-than sign and end tag states of RCDATA and RAWTEXT, and the end
// tag states of script data, escaped or not: textState_ is where they fall
// back to when what follows is no appropriate end tag.
bool Machine::stepTextEndTag(char32_t c) {
    const auto fallBack = [&] {
        emit("</");
        emit(buffer_);
        state_ = textState_;
        return false;
    };
    switch (state_) {
    case State::TextLessThan:
        if (c == '/') {
            buffer_.clear();
            state_ = State::TextEndTagOpen;
            return true;
        }
        emit('<');
        state_ = textState_;
        return false;
    case State::TextEndTagOpen:
        if (isAsciiAlpha(c)) {
            startTag(true);
            state_ = State::TextEndTagName;
            return false;
        }
        buffer_.clear();
        return fallBack();
    default: // TextEndTagName
        if (isAsciiAlpha(c)) {
            buffer_.push_back(static_cast<char>(c));
            tagName_.push_back(static_cast<char>(toAsciiLower(c)));
            if (tagName_.size() > lastStartTag_.size()) {
                // Longer than the last start tag's name: it can no longer match.
                fallBack();
            }
            return true;
        }
        if (!appropriateEndTag() || (!isHtmlSpace(c) && c != '/' && c != '>')) {
            return fallBack();
        }
        state_ = c == '/'   ? State::SelfClosingStartTag
                 : c == '>' ? State::Data
                            : State::BeforeAttributeName;
        if (c == '>') {
            emitTag();
        }
        return true;
    }
}

bool Machine::stepScript(char32_t c) {
    switch (state_) {
    case State::ScriptLessThan:
        if (c == '/') {
            buffer_.clear();
            state_ = State::TextEndTagOpen; // falls back to script data
            return true;
        }
        emit('<');
        state_ = State::ScriptData;
        if (c == '!') {
            emit('!');
            state_ = State::ScriptEscapeStart;
            return true;
        }
        return false;
    case State::ScriptEscapeStart:
    case State::ScriptEscapeStartDash:
        if (c == '-') {
            emit('-');
            state_ = state_ == State::ScriptEscapeStart ? State::ScriptEscapeStartDash
                                                        : State::ScriptEscapedDashDash;
            return true;
        }
        state_ = State::ScriptData;
        return false;
    case State::ScriptEscapedLessThan:
        if (c == '/') {
            buffer_.clear();
            textState_ = State::ScriptEscaped;
            state_ = State::TextEndTagOpen;
            return true;
        }
        emit('<');
        if (isAsciiAlpha(c)) {
            buffer_.clear();
            state_ = State::ScriptDoubleEscapeStart;
        } else {
            state_ = State::ScriptEscaped;
        }
        return false;
    default: // ScriptEscaped, ScriptEscapedDash, ScriptEscapedDashDash
        if (c == kEndOfFile) {
            return true;
        }
        if (c == '-') {
            emit('-');
            state_ = state_ == State::ScriptEscaped ? State::ScriptEscapedDash
                                                    : State::ScriptEscapedDashDash;
        } else if (c == '<') {
            state_ = State::ScriptEscapedLessThan;
        } else if (c == '>' && state_ == State::ScriptEscapedDashDash) {
            emit('>');
            state_ = State::ScriptData;
        } else {
            emit(c == 0 ? kReplacementCharacter : c);
            state_ = State::ScriptEscaped;
        }
        return true;
    }
}

bool Machine::stepScriptDoubleEscape(char32_t c) {
    switch (state_) {
    case State::ScriptDoubleEscapeStart:
    case State::ScriptDoubleEscapeEnd: {
        const bool start = state_ == State::ScriptDoubleEscapeStart;
        if (isHtmlSpace(c) || c == '/' || c == '>') {
            const bool script = buffer_ == "script";
            state_ = script == start ? State::ScriptDoubleEscaped : State::ScriptEscaped;
            emit(c);
        } else if (isAsciiAlpha(c)) {
            if (buffer_.size() < 7) { // only "script" matters
                buffer_.push_back(static_cast<char>(toAsciiLower(c)));
            }
            emit(c);
        } else {
            state_ = start ? State::ScriptEscaped : State::ScriptDoubleEscaped;
            return false;
        }
        return true;
    }
    case State::ScriptDoubleEscapedLessThan:
        if (c == '/') {
            buffer_.clear();
            emit('/');
            state_ = State::ScriptDoubleEscapeEnd;
            return true;
        }
        state_ = State::ScriptDoubleEscaped;
        return false;
    default: // ScriptDoubleEscaped, its Dash and DashDash
        if (c == kEndOfFile) {
            return true;
        }
        if (c == '-') {
            state_ = state_ == State::ScriptDoubleEscaped ? State::ScriptDoubleEscapedDash
                                                          : State::ScriptDoubleEscapedDashDash;
        } else if (c == '<') {
            state_ = State::ScriptDoubleEscapedLessThan;
        } else if (c == '>' && state_ == State::ScriptDoubleEscapedDashDash) {
            state_ = State::ScriptData;
        } else {
            state_ = State::ScriptDoubleEscaped;
        }
        emit(c == 0 ? kReplacementCharacter : c);
        return true;
    }
}

} // namespace vantrel::extractor::html

namespace vantrel::extractor::html {

bool Machine::stepAttribute(char32_t c) {
    const bool end = c == kEndOfFile;
    switch (state_) {
    case State::BeforeAttributeName:
        if (isHtmlSpace(c)) {
            return true;
        }
        if (c == '/' || c == '>' || end) {
            state_ = State::AfterAttributeName;
            return false;
        }
        startAttribute();
        state_ = State::AttributeName;
        if (c == '=') {
            appendNameCharacter(false, c);
            return true;
        }
        return false;
    case State::AttributeName:
        if (isHtmlSpace(c) || c == '/' || c == '>' || end || c == '=') {
            finishAttributeName();
            state_ = c == '=' ? State::BeforeAttributeValue : State::AfterAttributeName;
            return c == '=';
        }
        appendNameCharacter(false, c == 0 ? kReplacementCharacter : c);
        return true;
    case State::AfterAttributeName:
        if (isHtmlSpace(c) || end) {
            return true; // at the end of the file the tag is dropped
        }
        if (c == '/') {
            state_ = State::SelfClosingStartTag;
        } else if (c == '=') {
            state_ = State::BeforeAttributeValue;
        } else if (c == '>') {
            emitTag();
        } else {
            startAttribute();
            state_ = State::AttributeName;
            return false;
        }
        return true;
    case State::BeforeAttributeValue:
        if (isHtmlSpace(c)) {
            return true;
        }
        state_ = c == '"'    ? State::AttributeValueDouble
                 : c == '\'' ? State::AttributeValueSingle
                             : State::AttributeValueUnquoted;
        if (c == '>') {
            emitTag();
        }
        return c == '"' || c == '\'' || c == '>';
    case State::AttributeValueDouble:
    case State::AttributeValueSingle:
    case State::AttributeValueUnquoted:
        return stepAttributeValue(c);
    case State::AfterAttributeValueQuoted:
        if (isHtmlSpace(c) || end) {
            state_ = State::BeforeAttributeName;
            return !end;
        }
        if (c == '/' || c == '>') {
            state_ = c == '/' ? State::SelfClosingStartTag : State::Data;
            if (c == '>') {
                emitTag();
            }
            return true;
        }
        state_ = State::BeforeAttributeName;
        return false;
    default: // SelfClosingStartTag
        if (c == '>') {
            selfClosing_ = true;
            emitTag();
            return true;
        }
        if (end) {
            return true;
        }
        state_ = State::BeforeAttributeName;
        return false;
    }
}

bool Machine::stepAttributeValue(char32_t c) {
    const bool unquoted = state_ == State::AttributeValueUnquoted;
    const char32_t quote = state_ == State::AttributeValueDouble ? '"' : '\'';
    if (c == kEndOfFile) {
        return true; // the tag is dropped
    }
    if (unquoted ? isHtmlSpace(c) : c == quote) {
        state_ = unquoted ? State::BeforeAttributeName : State::AfterAttributeValueQuoted;
    } else if (c == '&') {
        returnState_ = state_;
        beginReference();
    } else if (c == '>' && unquoted) {
        emitTag();
    } else {
        appendAttributeValue(c == 0 ? kReplacementCharacter : c);
    }
    return true;
}

} // namespace vantrel::extractor::html
