// The HTML reader: the document's bytes are decoded a piece at a time and fed
// through the tokenizer to tree construction, which lays the text out as the
// elements open and close. Nothing of the document is kept but the open
// elements and the text.
#include "html/HtmlText.h"

#include "html/HtmlEncoding.h"
#include "html/HtmlTokenizer.h"
#include "html/HtmlTreeBuilder.h"

#include <new>

namespace vantrel::extractor {

std::optional<std::string> htmlToText(std::string_view html) {
    try {
        html::TreeBuilder builder;
        html::Tokenizer tokenizer(builder);
        builder.attach(&tokenizer);
        builder.reserve(html.size());
        HtmlDecoder decoder(html);
        for (std::string_view piece = decoder.next(); !piece.empty(); piece = decoder.next()) {
            tokenizer.feed(piece);
        }
        tokenizer.finish();
        return builder.finish();
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

} // namespace vantrel::extractor
