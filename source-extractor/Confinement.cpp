// Linux: no new privileges, a Landlock ruleset and a seccomp filter.
#include "Confinement.h"

#include "SanitizerRuntime.h"

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sched.h>
#include <seccomp.h>
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

// Refused, not fatal: a library that tries one of these merely fails, and the
// document still reads. Standard output may itself be a socket the caller
// handed over; writing to it needs none of these. Numbers known when built:
// resolving names costs start-up time.
constexpr std::array refusedCalls = {
    SCMP_SYS(execve),
    SCMP_SYS(execveat),
    SCMP_SYS(socket),
    SCMP_SYS(socketpair),
    SCMP_SYS(connect),
    SCMP_SYS(bind),
    SCMP_SYS(listen),
    SCMP_SYS(accept),
    SCMP_SYS(accept4),
    SCMP_SYS(ptrace),
    SCMP_SYS(process_vm_readv),
    SCMP_SYS(process_vm_writev),
    SCMP_SYS(mount),
    SCMP_SYS(umount2),
    SCMP_SYS(pivot_root),
    SCMP_SYS(chroot),
    SCMP_SYS(open_tree),
    SCMP_SYS(move_mount),
    SCMP_SYS(fsopen),
    SCMP_SYS(fsmount),
    SCMP_SYS(fspick),
    SCMP_SYS(mount_setattr),
    SCMP_SYS(unshare),
    SCMP_SYS(setns),
    SCMP_SYS(bpf),
    SCMP_SYS(perf_event_open),
    SCMP_SYS(userfaultfd),
    SCMP_SYS(keyctl),
    SCMP_SYS(add_key),
    SCMP_SYS(request_key),
    SCMP_SYS(init_module),
    SCMP_SYS(finit_module),
    SCMP_SYS(delete_module),
    SCMP_SYS(kexec_load),
    SCMP_SYS(kexec_file_load),
    SCMP_SYS(personality),
    // io_uring can open sockets without socket().
    SCMP_SYS(io_uring_setup),
    SCMP_SYS(io_uring_enter),
    SCMP_SYS(io_uring_register),
};
// What the sanitizer runtime needs of them: its leak checker's ptrace and its
// symbolizer's execve.
bool sanitizerNeeds(int call) {
    return sanitizerRuntime::present && (call == SCMP_SYS(ptrace) || call == SCMP_SYS(execve));
}

// A new namespace, a user namespace above all, would escape the rest.
constexpr std::array<std::uint64_t, 7> newNamespaceFlags = {
    CLONE_NEWNS,   CLONE_NEWCGROUP, CLONE_NEWUTS, CLONE_NEWIPC,
    CLONE_NEWUSER, CLONE_NEWPID,    CLONE_NEWNET,
};

void restrictWithSeccomp() {
    const std::unique_ptr<void, decltype(&seccomp_release)> filter(seccomp_init(SCMP_ACT_ALLOW),
                                                                   seccomp_release);
    if (!filter) {
        return;
    }
    // Kernels that tie it to seccomp would otherwise turn on the speculative
    // store bypass mitigation, which slows every later instruction of the
    // read; it guards secrets inside the process, and this one holds none.
    seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_SSB, 1);
    // A binary tree of the calls: fewer instructions for the kernel to run
    // and to check when it loads the filter.
    seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_OPTIMIZE, 2);
    for (const int call : refusedCalls) {
        // A call this architecture lacks is refused by libseccomp, and skipped.
        if (!sanitizerNeeds(call)) {
            seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(EPERM), call, 0);
        }
    }
    for (const std::uint64_t flag : newNamespaceFlags) {
        const scmp_arg_cmp hasFlag{0, SCMP_CMP_MASKED_EQ, flag, flag};
        seccomp_rule_add_array(filter.get(), SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1, &hasFlag);
    }
    // clone3 passes its flags in memory, where a filter cannot look: ENOSYS
    // sends the C library back to clone, whose flags it can see.
    seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
    seccomp_load(filter.get());
}

} // namespace

void confineProcess() {
    // Required by both below for an unprivileged process, and irreversible.
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    restrictWithLandlock();
    restrictWithSeccomp();
}

} // namespace vantrel::extractor
