// Builds the extractor's seccomp filter with libseccomp when the extractor is
// built, and writes its BPF instructions for Confinement.cpp to load: building
// it at every start cost the one-page PDF's run about 2% of its time.
//
// make-seccomp-filter OUTPUT
#include "confinement/SanitizerRuntime.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sched.h>
#include <seccomp.h>

namespace {

using namespace vantrel::extractor;

// Refused, not fatal: a library that tries one of these merely fails, and the
// document still reads. Standard output may itself be a socket the caller
// handed over; writing to it needs none of these.
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

// Refusals on an allowing filter. A call this architecture lacks is refused by
// libseccomp, and skipped. Calls through another architecture's interface
// (int 0x80, x32) are refused too, rather than killed.
bool addRules(scmp_filter_ctx filter) {
    // A binary tree of the call numbers rather than a chain: the kernel runs
    // the filter over every call number when it loads it, which costs the
    // chain about twice the tree's time.
    bool ok = seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(EPERM)) == 0 &&
              seccomp_attr_set(filter, SCMP_FLTATR_CTL_OPTIMIZE, 2) == 0;
    for (const int call : refusedCalls) {
        if (!sanitizerNeeds(call)) {
            seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), call, 0);
        }
    }
    for (const std::uint64_t flag : newNamespaceFlags) {
        const scmp_arg_cmp hasFlag{0, SCMP_CMP_MASKED_EQ, flag, flag};
        ok = ok && seccomp_rule_add_array(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1,
                                          &hasFlag) == 0;
    }
    // clone3 passes its flags in memory, where a filter cannot look: ENOSYS
    // sends the C library back to clone, whose flags it can see.
    return ok && seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::unique_ptr<void, decltype(&seccomp_release)> filter(seccomp_init(SCMP_ACT_ALLOW),
                                                                   seccomp_release);
    const std::unique_ptr<FILE, decltype(&std::fclose)> program(std::tmpfile(), std::fclose);
    if (argc != 2 || !filter || !program || !addRules(filter.get()) ||
        seccomp_export_bpf(filter.get(), fileno(program.get())) != 0) {
        std::fputs("make-seccomp-filter: cannot build the filter\n", stderr);
        return 1;
    }
    std::rewind(program.get());
    std::unique_ptr<FILE, decltype(&std::fclose)> out(std::fopen(argv[1], "w"), std::fclose);
    if (!out) {
        return 1;
    }
    // struct sock_filter: a 16-bit code, two 8-bit jumps, a 32-bit operand.
    std::array<unsigned char, 8> instruction{};
    while (std::fread(instruction.data(), 1, instruction.size(), program.get()) ==
           instruction.size()) {
        std::uint16_t code = 0;
        std::uint32_t operand = 0;
        std::memcpy(&code, instruction.data(), sizeof code);
        std::memcpy(&operand, instruction.data() + 4, sizeof operand);
        std::fprintf(out.get(), "{0x%04x, %u, %u, 0x%08x},\n", code, instruction[2], instruction[3],
                     operand);
    }
    return std::fclose(out.release()) == 0 ? 0 : 1;
}
