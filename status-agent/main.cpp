#include "StatusMenuDelegate.h"

#include <memory>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace vantrel;

    // Both live for the whole process; the application does not own its delegate.
    const auto application = platform::createApplication();
    const auto delegate = std::make_shared<StatusMenuDelegate>(
        *application, platform::createHttpClient(), platform::createSystem(),
        std::vector<std::string>(argv, argv + argc));

    application->setDelegate(delegate.get());
    application->setActivationPolicyAccessory();
    application->run();
    return 0;
}
