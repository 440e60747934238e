// oldkernel PROGRAM [ARG...]: runs PROGRAM as on a Linux 3.10 kernel (the controllers run 3.x):
// every x86_64 system call added after 3.10 (finit_module, 313, is its last) answers ENOSYS,
// and so do x32 numbers (as on kernels built without x32 support).
//
// The filter stays on across exec and fork, so the programs the agent starts (the sandbox's
// shell stubs, the simulated daemon in python3) run under it as well. That is kept on purpose:
// on the controller they meet the same kernel, and Debian's sh, coreutils and python3 fall
// back from clone3, rseq, getrandom and close_range as the agent does.
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

constexpr unsigned last_310_syscall = 313; // finit_module

bool oldkernel_install_filter() {
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        // Numbers of another ABI (i386 through int 0x80) mean something else: stop at once.
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        // Every later number answers ENOSYS, x32's (bit 30 set) too.
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, last_310_syscall, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog fprog = {static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    // Without this flag only a privileged process may install a filter.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        std::perror("oldkernel: PR_SET_NO_NEW_PRIVS");
        return false;
    }
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) != 0) {
        std::perror("oldkernel: PR_SET_SECCOMP");
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: oldkernel PROGRAM [ARG...]\n");
        return 2;
    }
    if (!oldkernel_install_filter()) {
        return 125;
    }
    execvp(argv[1], argv + 1);
    std::fprintf(stderr, "oldkernel: %s: %s\n", argv[1], std::strerror(errno));
    return 127;
}
