// Test helper (Linux): runs a program with pidfd_open refused with EPERM by a
// seccomp filter, as filters written before the call existed answer it.
//   nopidfd <program> [arguments...]
#include <unistd.h>

#include <cerrno>

#include "tests/helpers/Seccomp.h"

int main(int argc, char** argv) {
    if (!HasProgram(argc, "nopidfd")) return 2;
    sock_filter filter[] = {
        SECCOMP_THIS_ARCH_CALL,
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::perror("nopidfd: seccomp");
        return 126;
    }
    // Without the filter in force the run would prove nothing.
    if (syscall(SYS_pidfd_open, getpid(), 0) >= 0 || errno != EPERM) {
        std::fprintf(stderr, "nopidfd: pidfd_open is not refused\n");
        return 126;
    }
    execv(argv[1], argv + 1);
    std::perror("nopidfd: execv");
    return 127;
}
