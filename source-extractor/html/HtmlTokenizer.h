// The HTML tokenizer: the standard's state machine, fed bytes in chunks split
// anywhere, handing tokens to a sink as it goes. It keeps no copy of the input
// beyond the token being built, and bounds what a single token may hold.
#pragma once

#include "html/HtmlTokens.h"

#include <memory>
#include <string_view>

namespace vantrel::extractor::html {

class Tokenizer {
  public:
    explicit Tokenizer(TokenSink& sink);
    ~Tokenizer();
    Tokenizer(const Tokenizer&) = delete;
    Tokenizer& operator=(const Tokenizer&) = delete;

    // Bytes claimed to be UTF-8; ill-formed sequences become U+FFFD as they
    // go, and CR LF and CR become LF, across chunk boundaries too.
    void feed(std::string_view bytes);
    // End of input: the end-of-file rules of the current state, then
    // sink.endOfFile() once.
    void finish();
    // From the sink, while it handles a start tag or between tokens.
    void switchTo(TextState state);
    // From the sink whenever the adjusted current node enters or leaves a
    // foreign namespace: CDATA sections exist only there.
    void setForeignContent(bool foreign);

    class Machine;

  private:
    std::unique_ptr<Machine> machine_;
};

} // namespace vantrel::extractor::html
