#include "StatusMenuDelegate.h"

#include <utility>

namespace vantrel {

void StatusMenuDelegate::openSettings() {
    // The completion may arrive on any thread; it holds the delegate until it has
    // run and carries its effects to the main thread.
    auto completion = [self = shared_from_this()](bool opened) {
        self->application.dispatchToMain([self, opened] {
            if (opened) {
                self->application.terminate();
            } else {
                self->setStateTitle("Vantrel could not open");
            }
        });
    };
    system->openApplicationAsNewInstance(system->mainBundlePath(), std::move(completion));
}

void StatusMenuDelegate::quitMenu() {
    application.terminate();
}

} // namespace vantrel
