// macOS: nothing here. Its sandbox cannot be tried without a Mac, and AppKit's
// HTML import talks to system services that a wrong profile would cut off. A
// Vantrel running in the App Sandbox lets the extractor inherit that sandbox
// (the com.apple.security.inherit entitlement in the extractor's signature).
#include "confinement/Confinement.h"

namespace vantrel::extractor {

void confineProcess() {}

} // namespace vantrel::extractor
