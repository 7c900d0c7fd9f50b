// The extractor parses documents from strangers, so the process that parses
// one confines itself first, for good: a flaw in a reader can then neither
// write the user's files nor reach the network nor start programs.
#pragma once

namespace vantrel::extractor {

// Confines this process as far as the kernel allows and never fails: where a
// mechanism is missing, the document is still read. Called once the document
// is open and its engine loaded; reading files stays allowed (engines load
// encoding data and fonts lazily), and so does writing to open descriptors.
void confineProcess();

} // namespace vantrel::extractor
