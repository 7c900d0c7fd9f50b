// The one place where a sanitizer build relaxes the extractor's cage and
// budget, for what its runtime needs: the leak checker stops the world with
// ptrace at exit and may start a symbolizer program, the runtime reserves
// terabytes of address space for its shadow memory, and it writes its reports
// on descriptor 2, which the reading run points at the null device. Other
// builds relax nothing.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define VANTREL_SANITIZER_RUNTIME 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VANTREL_SANITIZER_RUNTIME 1
#endif
#endif

#ifdef VANTREL_SANITIZER_RUNTIME
#include <cstdint>
#include <sanitizer/common_interface_defs.h>
#endif

namespace vantrel::extractor::sanitizerRuntime {

#ifdef VANTREL_SANITIZER_RUNTIME
inline constexpr bool present = true;
#else
inline constexpr bool present = false;
#endif

// Sends the runtime's reports to `fd`, the original standard error.
inline void reportTo([[maybe_unused]] int fd) {
#ifdef VANTREL_SANITIZER_RUNTIME
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
#endif
}

} // namespace vantrel::extractor::sanitizerRuntime
