// Linux: no new privileges, a Landlock ruleset and a seccomp filter.
#include "confinement/Confinement.h"

#include "confinement/SanitizerRuntime.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vantrel::extractor {
namespace {

// Landlock's interface up to its ABI 6, spelled out here: Debian 12's kernel
// headers stop at ABI 2, and the kernel takes the structure's size to know
// which fields a caller knows of.
struct LandlockRuleset {
    std::uint64_t handledAccessFs;
    std::uint64_t handledAccessNet; // ABI 4
    std::uint64_t scoped;           // ABI 6
};
constexpr unsigned landlockAbiVersion = 1U << 0;

constexpr std::uint64_t fsExecute = 1ULL << 0;
constexpr std::uint64_t fsWriteFile = 1ULL << 1;
// Bits 2 and 3, reading files and directories, stay allowed. Bits 4 to 12:
// removing directories and files, making devices, directories, files, sockets,
// FIFOs and symbolic links.
constexpr std::uint64_t fsRemoveAndMake = ((1ULL << 13) - 1) & ~((1ULL << 4) - 1);
constexpr std::uint64_t fsRefer = 1ULL << 13;    // ABI 2: renaming and linking across folders
constexpr std::uint64_t fsTruncate = 1ULL << 14; // ABI 3
constexpr std::uint64_t netBindTcp = 1ULL << 0;  // ABI 4
constexpr std::uint64_t netConnectTcp = 1ULL << 1;
constexpr std::uint64_t scopeAbstractUnixSocket = 1ULL << 0; // ABI 6
constexpr std::uint64_t scopeSignal = 1ULL << 1;

// A ruleset with no rules: every right it handles is refused everywhere.
void restrictWithLandlock() {
    const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, landlockAbiVersion);
    if (abi < 1) {
        return; // a kernel without Landlock, or with it disabled
    }
    LandlockRuleset ruleset{};
    ruleset.handledAccessFs = fsWriteFile | fsRemoveAndMake;
    if (!sanitizerRuntime::present) {
        ruleset.handledAccessFs |= fsExecute;
    }
    std::size_t size = offsetof(LandlockRuleset, handledAccessNet);
    if (abi >= 2) {
        ruleset.handledAccessFs |= fsRefer;
    }
    if (abi >= 3) {
        ruleset.handledAccessFs |= fsTruncate;
    }
    if (abi >= 4) {
        ruleset.handledAccessNet = netBindTcp | netConnectTcp;
        size = offsetof(LandlockRuleset, scoped);
    }
    if (abi >= 6) {
        ruleset.scoped = scopeAbstractUnixSocket | scopeSignal;
        size = sizeof ruleset;
    }
    const long fd = ::syscall(SYS_landlock_create_ruleset, &ruleset, size, 0U);
    if (fd < 0) {
        return;
    }
    ::syscall(SYS_landlock_restrict_self, fd, 0U);
    ::close(static_cast<int>(fd));
}

// The seccomp filter that make-seccomp-filter built with libseccomp when the
// extractor was built: refusals, not kills, of the calls a parser has no
// business making.
constexpr sock_filter seccompProgram[] = {
#include "SeccompFilterProgram.inc"
};

void restrictWithSeccomp() {
    std::array<sock_filter, std::size(seccompProgram)> instructions{};
    std::copy(std::begin(seccompProgram), std::end(seccompProgram), instructions.begin());
    sock_fprog program{};
    program.len = static_cast<unsigned short>(instructions.size());
    program.filter = instructions.data();
    // Kernels that tie it to seccomp would otherwise turn on the speculative
    // store bypass mitigation, which slows every later instruction of the
    // read; it guards secrets inside the process, and this one holds none.
    // Kernels before 4.17 know no such flag.
    if (::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_SPEC_ALLOW, &program) !=
        0) {
        ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0U, &program);
    }
}

} // namespace

void confineProcess() {
    // Required by both below for an unprivileged process, and irreversible.
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    restrictWithLandlock();
    restrictWithSeccomp();
}

} // namespace vantrel::extractor
