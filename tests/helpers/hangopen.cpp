// Test helper (Linux): runs a program whose non-blocking opens never return,
// as a hung network file system would leave them: a seccomp filter hands
// each such open to this process, which never answers it. Other opens (the
// loader's, say) go ahead.
//   hangopen <program> [arguments...]
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/helpers/Seccomp.h"

int main(int argc, char** argv) {
    if (!HasProgram(argc, "hangopen")) return 2;
    sock_filter filter[] = {
        SECCOMP_THIS_ARCH_CALL,
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_NONBLOCK, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        std::perror("hangopen: no_new_privs");
        return 126;
    }
    const long listener = syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &program);
    if (listener < 0) {
        std::perror("hangopen: seccomp");
        return 126;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(static_cast<int>(listener));
        execv(argv[1], argv + 1);
        std::perror("hangopen: execv");
        _exit(127);
    }
    // The listener stays open and unanswered until the program ends.
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return 126;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
