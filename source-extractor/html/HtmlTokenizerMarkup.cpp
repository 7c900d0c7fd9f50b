// The states after "<!": comments, bogus comments, DOCTYPEs and CDATA.
#include "html/HtmlTokenizerMachine.h"
#include "text/Utf8.h"

namespace vantrel::extractor::html {

using Machine = Tokenizer::Machine;

namespace {

// Whether the word starts with prefix + c, ASCII case folded where asked.
bool continuesWord(std::string_view word, std::string_view prefix, char32_t c, bool foldCase) {
    if (prefix.size() >= word.size() || c >= 0x80) {
        return false;
    }
    for (std::size_t k = 0; k < prefix.size(); ++k) {
        const auto p = static_cast<unsigned char>(prefix[k]);
        if ((foldCase ? toAsciiLower(p) : p) != static_cast<unsigned char>(word[k])) {
            return false;
        }
    }
    const char32_t expected = static_cast<unsigned char>(word[prefix.size()]);
    return (foldCase ? toAsciiLower(c) : c) == expected;
}

void appendCapped(std::string& to, char32_t c) {
    if (to.size() < kMaxNameBytes) {
        appendUtf8(to, c == 0 ? kReplacementCharacter : c);
    }
}

} // namespace

bool Machine::stepMarkup(char32_t c) {
    if (state_ == State::BogusComment) {
        if (c == '>' || c == kEndOfFile) {
            state_ = State::Data;
            emitComment();
        } else {
            appendComment(c == 0 ? kReplacementCharacter : c);
        }
        return true;
    }
    // MarkupDeclarationOpen, matching the word after "<!" as it comes.
    const std::string_view seen = buffer_;
    const bool comment = continuesWord("--", seen, c, false);
    const bool doctype = continuesWord("doctype", seen, c, true);
    const bool cdata = foreign_ && continuesWord("[CDATA[", seen, c, false);
    if (!comment && !doctype && !cdata) {
        // What was matched starts a bogus comment, which takes it unchanged.
        comment_ = buffer_;
        state_ = State::BogusComment;
        return false;
    }
    buffer_.push_back(static_cast<char>(c));
    if (comment && buffer_.size() == 2) {
        comment_.clear();
        state_ = State::CommentStart;
    } else if (doctype && buffer_.size() == 7) {
        state_ = State::Doctype;
    } else if (cdata && buffer_.size() == 7) {
        state_ = State::CdataSection;
    }
    return true;
}

bool Machine::stepComment(char32_t c) {
    const State state = state_;
    if (c == kEndOfFile) {
        emitComment();
        return true;
    }
    if (c == '>' && (state == State::CommentStart || state == State::CommentStartDash ||
                     state == State::CommentEnd || state == State::CommentEndBang)) {
        state_ = State::Data;
        emitComment();
        return true;
    }
    switch (state) {
    case State::CommentStart:
        state_ = c == '-' ? State::CommentStartDash : State::Comment;
        return c == '-';
    case State::CommentStartDash:
    case State::CommentEndDash:
        if (c == '-') {
            state_ = State::CommentEnd;
            return true;
        }
        appendComment('-');
        state_ = State::Comment;
        return false;
    case State::Comment:
        if (c == '<') {
            appendComment('<');
            state_ = State::CommentLessThan;
        } else if (c == '-') {
            state_ = State::CommentEndDash;
        } else {
            appendComment(c == 0 ? kReplacementCharacter : c);
        }
        return true;
    case State::CommentLessThan:
        if (c == '!' || c == '<') {
            appendComment(c);
            state_ = c == '!' ? State::CommentLessThanBang : State::CommentLessThan;
            return true;
        }
        state_ = State::Comment;
        return false;
    case State::CommentLessThanBang:
    case State::CommentLessThanBangDash:
        if (c == '-') {
            state_ = state == State::CommentLessThanBang ? State::CommentLessThanBangDash
                                                         : State::CommentLessThanBangDashDash;
            return true;
        }
        state_ = state == State::CommentLessThanBang ? State::Comment : State::CommentEndDash;
        return false;
    case State::CommentLessThanBangDashDash:
        state_ = State::CommentEnd; // "<!--" nested inside: a parse error, nothing more
        return false;
    case State::CommentEnd:
        if (c == '!') {
            state_ = State::CommentEndBang;
        } else if (c == '-') {
            appendComment('-');
        } else {
            appendComment("--");
            state_ = State::Comment;
            return false;
        }
        return true;
    default: // CommentEndBang
        appendComment("--!");
        state_ = c == '-' ? State::CommentEndDash : State::Comment;
        return c == '-';
    }
}

bool Machine::stepDoctype(char32_t c) {
    const bool end = c == kEndOfFile;
    switch (state_) {
    case State::Doctype:
        state_ = State::BeforeDoctypeName;
        return isHtmlSpace(c);
    case State::BeforeDoctypeName:
        if (isHtmlSpace(c)) {
            return true;
        }
        startDoctype();
        if (c == '>' || end) {
            forceQuirks_ = true;
            state_ = State::Data;
            emitDoctype();
            return true;
        }
        appendCapped(doctypeName_, toAsciiLower(c));
        state_ = State::DoctypeName;
        return true;
    case State::DoctypeName:
        if (isHtmlSpace(c)) {
            state_ = State::AfterDoctypeName;
        } else if (c == '>' || end) {
            forceQuirks_ = forceQuirks_ || end;
            state_ = State::Data;
            emitDoctype();
        } else {
            appendCapped(doctypeName_, toAsciiLower(c));
        }
        return true;
    case State::AfterDoctypeName:
        if (isHtmlSpace(c)) {
            return true;
        }
        if (c == '>' || end) {
            forceQuirks_ = forceQuirks_ || end;
            state_ = State::Data;
            emitDoctype();
            return true;
        }
        buffer_.clear();
        state_ = State::DoctypeKeyword;
        return false;
    default: { // DoctypeKeyword: PUBLIC or SYSTEM, as it comes
        const bool isPublic = continuesWord("public", buffer_, c, true);
        const bool isSystem = continuesWord("system", buffer_, c, true);
        if (!isPublic && !isSystem) {
            forceQuirks_ = true;
            state_ = State::BogusDoctype;
            return false;
        }
        buffer_.push_back(static_cast<char>(c));
        if (buffer_.size() == 6) {
            state_ = isPublic ? State::AfterDoctypePublicKeyword : State::AfterDoctypeSystemKeyword;
        }
        return true;
    }
    }
}

bool Machine::stepDoctypeIds(char32_t c) {
    const bool end = c == kEndOfFile;
    const State state = state_;
    if (state == State::BogusDoctype ||
        (c == '>' && state != State::DoctypePublicIdDouble &&
         state != State::DoctypePublicIdSingle && state != State::DoctypeSystemIdDouble &&
         state != State::DoctypeSystemIdSingle)) {
        if (c == '>' || end) {
            // Only a complete DOCTYPE (or a bogus one) keeps its quirks flag off.
            if (state != State::BogusDoctype) {
                forceQuirks_ =
                    forceQuirks_ || end ||
                    (state != State::AfterDoctypePublicId && state != State::BetweenDoctypeIds &&
                     state != State::AfterDoctypeSystemId);
            }
            state_ = State::Data;
            emitDoctype();
        }
        return true;
    }
    if (end) {
        forceQuirks_ = true;
        emitDoctype();
        return true;
    }
    switch (state) {
    case State::AfterDoctypePublicKeyword:
    case State::AfterDoctypeSystemKeyword:
    case State::BeforeDoctypePublicId:
    case State::BeforeDoctypeSystemId:
    case State::AfterDoctypePublicId:
    case State::BetweenDoctypeIds:
        if (isHtmlSpace(c)) {
            if (state == State::AfterDoctypePublicKeyword) {
                state_ = State::BeforeDoctypePublicId;
            } else if (state == State::AfterDoctypeSystemKeyword) {
                state_ = State::BeforeDoctypeSystemId;
            } else if (state == State::AfterDoctypePublicId) {
                state_ = State::BetweenDoctypeIds;
            }
            return true;
        }
        if (c == '"' || c == '\'') {
            const bool publicId =
                state == State::AfterDoctypePublicKeyword || state == State::BeforeDoctypePublicId;
            (publicId ? hasPublicId_ : hasSystemId_) = true;
            const bool dq = c == '"';
            state_ = publicId ? (dq ? State::DoctypePublicIdDouble : State::DoctypePublicIdSingle)
                              : (dq ? State::DoctypeSystemIdDouble : State::DoctypeSystemIdSingle);
            return true;
        }
        forceQuirks_ = true;
        state_ = State::BogusDoctype;
        return false;
    case State::AfterDoctypeSystemId:
        if (!isHtmlSpace(c)) {
            state_ = State::BogusDoctype; // without forcing quirks
            return false;
        }
        return true;
    default: { // the quoted identifiers
        const bool publicId =
            state == State::DoctypePublicIdDouble || state == State::DoctypePublicIdSingle;
        const bool dq =
            state == State::DoctypePublicIdDouble || state == State::DoctypeSystemIdDouble;
        if (c == (dq ? U'"' : U'\'')) {
            state_ = publicId ? State::AfterDoctypePublicId : State::AfterDoctypeSystemId;
        } else if (c == '>') {
            forceQuirks_ = true;
            state_ = State::Data;
            emitDoctype();
        } else {
            appendCapped(publicId ? publicId_ : systemId_, c);
        }
        return true;
    }
    }
}

bool Machine::stepCdata(char32_t c) {
    if (c == kEndOfFile) {
        if (state_ != State::CdataSection) {
            // The brackets held back are text after all.
            emit(state_ == State::CdataSectionBracket ? "]" : "]]");
            state_ = State::CdataSection;
        }
        return true;
    }
    switch (state_) {
    case State::CdataSection:
        if (c == ']') {
            state_ = State::CdataSectionBracket;
        } else {
            emit(c); // NUL included: tree construction decides
        }
        return true;
    case State::CdataSectionBracket:
        if (c == ']') {
            state_ = State::CdataSectionEnd;
            return true;
        }
        emit(']');
        state_ = State::CdataSection;
        return false;
    default: // CdataSectionEnd
        if (c == ']') {
            emit(']');
        } else if (c == '>') {
            state_ = State::Data;
        } else {
            emit("]]");
            state_ = State::CdataSection;
            return false;
        }
        return true;
    }
}

} // namespace vantrel::extractor::html
