#include "confinement/ReadBudget.h"

#include "confinement/SanitizerRuntime.h"

#include <algorithm>
#include <sys/resource.h>

namespace vantrel::extractor {
namespace {

// At least ten times what the slowest and the largest legitimate documents
// measured need (see the README).
constexpr rlim_t cpuSeconds = 60;

// Soft limits only: the inherited hard ones stay. A soft CPU limit equal to
// the hard one would kill outright, so it stays a second below.
void lowerCpuLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_CPU, &limit) != 0) {
        return;
    }
    rlim_t soft = std::min(cpuSeconds, limit.rlim_cur);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max > 1) {
        soft = std::min(soft, limit.rlim_max - 1);
    }
    limit.rlim_cur = soft;
    ::setrlimit(RLIMIT_CPU, &limit);
}

#ifdef __linux__
constexpr rlim_t memoryBase = rlim_t{1} << 30;
constexpr rlim_t memoryPerFileByte = 64;

// The data limit counts what the readers allocate, not the mapped document
// nor the libraries' code.
void lowerMemoryLimit(std::uint64_t fileSize) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_DATA, &limit) != 0) {
        return;
    }
    const rlim_t perSize = fileSize > (RLIM_INFINITY - memoryBase) / memoryPerFileByte
                               ? RLIM_INFINITY
                               : memoryBase + fileSize * memoryPerFileByte;
    limit.rlim_cur = std::min(limit.rlim_cur, perSize);
    ::setrlimit(RLIMIT_DATA, &limit);
}
#endif

} // namespace

void applyReadBudget(std::uint64_t fileSize) {
    lowerCpuLimit();
#ifdef __linux__
    if (!sanitizerRuntime::present) {
        lowerMemoryLimit(fileSize);
    }
#else
    // macOS does not enforce a memory limit on a process's allocations.
    (void)fileSize;
#endif
}

} // namespace vantrel::extractor
