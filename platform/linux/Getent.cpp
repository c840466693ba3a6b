#include "platform/linux/Getent.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace linuxapi {

namespace {

constexpr size_t kMaxAnswerBytes = 65536;
constexpr size_t kMaxNameBytes = 256;

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void RunChild(const char* program, const char* name, int out, pid_t parent) {
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(null, STDERR_FILENO) < 0) {
        _exit(127);
    }
    for (int fd = 0; fd <= 2; ++fd) fcntl(fd, F_SETFD, 0);  // dup2 onto itself keeps close-on-exec
    if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0) {
        for (int fd = 3; fd < 65536; ++fd) close(fd);
    }
    // What the check may hold (CAP_SYS_PTRACE, root's set) stays with it:
    // nothing raised, nothing inherited, nothing regained at exec.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) _exit(127);
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);  // EINVAL before Linux 4.3: none to clear
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capset, &header, none) != 0) _exit(127);
    // Ends with the check, whether it answers or its timeout fires.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || getppid() != parent) _exit(127);
    signal(SIGPIPE, SIG_DFL);
    char* const argv[] = {const_cast<char*>("getent"), const_cast<char*>("passwd"), const_cast<char*>("--"),
                          const_cast<char*>(name), nullptr};
    char* const envp[] = {const_cast<char*>("PATH=/usr/bin:/bin"), const_cast<char*>("LC_ALL=C"), nullptr};
    execve(program, argv, envp);
    _exit(127);
}

}  // namespace

bool IsAccountName(const char* name) {
    size_t n = 0;
    for (; name[n] != '\0'; ++n) {
        const unsigned char c = static_cast<unsigned char>(name[n]);
        if (n >= kMaxNameBytes || c < 0x20 || c == 0x7f || c == ':') return false;
    }
    return n > 0;
}

bool ParseGetentPasswd(const char* text, size_t length, uint32_t* uid) {
    if (length == 0 || text[length - 1] != '\n' || std::memchr(text, '\n', length) != text + length - 1) return false;
    if (std::memchr(text, '\0', length) != nullptr) return false;
    size_t fields = 1, field = 0;
    uint64_t value = 0;
    size_t digits = 0;
    for (size_t i = 0; i + 1 < length; ++i) {
        const char c = text[i];
        if (c == ':') {
            if (field == 0 && i == 0) return false;  // no name
            ++fields;
            ++field;
            continue;
        }
        if (field != 2) continue;
        if (c < '0' || c > '9' || ++digits > 10) return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (fields != 7 || digits == 0 || value > 0xFFFFFFFEu) return false;
    *uid = static_cast<uint32_t>(value);
    return true;
}

AccountLookup LookUpAccount(const char* program, const char* name, uint32_t* uid, std::string* reason) {
    const std::string running = std::string("cannot run ") + program + ": ";
    int pipe[2];
    if (pipe2(pipe, O_CLOEXEC) != 0) {
        *reason = running + std::strerror(errno);
        return AccountLookup::Failed;
    }
    // An agent that ignores SIGCHLD passes that on: the child would be
    // reaped unseen and its exit status lost.
    struct sigaction reaping = {}, saved = {};
    reaping.sa_handler = SIG_DFL;
    sigemptyset(&reaping.sa_mask);
    sigaction(SIGCHLD, &reaping, &saved);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) RunChild(program, name, pipe[1], parent);
    const int forkError = errno;
    close(pipe[1]);
    if (child < 0) {
        close(pipe[0]);
        sigaction(SIGCHLD, &saved, nullptr);
        *reason = running + std::strerror(forkError);
        return AccountLookup::Failed;
    }
    char answer[kMaxAnswerBytes];
    size_t length = 0;
    int readError = 0;
    while (length < sizeof answer) {
        const ssize_t n = read(pipe[0], answer + length, sizeof answer - length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) readError = errno;
        if (n <= 0) break;
        length += static_cast<size_t>(n);
    }
    close(pipe[0]);
    const bool tooLong = length == sizeof answer;
    if (tooLong || readError != 0) kill(child, SIGKILL);
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    const int waitError = errno;
    sigaction(SIGCHLD, &saved, nullptr);
    if (waited < 0) readError = waitError;
    if (readError != 0) {
        *reason = running + std::strerror(readError);
        return AccountLookup::Failed;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2) return AccountLookup::Missing;  // no such key
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && !tooLong && ParseGetentPasswd(answer, length, uid)) {
        return AccountLookup::Found;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        *reason = std::string(program) + " gave no passwd entry";
    } else if (WIFEXITED(status)) {
        *reason = std::string(program) + " failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
    } else {
        *reason = std::string(program) + " was killed by signal " + std::to_string(WTERMSIG(status));
    }
    return AccountLookup::Failed;
}

}  // namespace linuxapi
