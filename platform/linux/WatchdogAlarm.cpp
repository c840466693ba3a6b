// The watchdog as an alarm signal, whose handler does only what is safe in
// a signal handler: one write and _exit.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include "platform/Watchdog.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TRELMARK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define TRELMARK_SANITIZED 1
#endif
#endif

namespace {

char line[256];
size_t lineLength = 0;
int exitStatus = 0;

void OnAlarm(int) {
    const ssize_t written = write(STDOUT_FILENO, line, lineLength);
    static_cast<void>(written);  // nothing is left to do about a failed write
    _exit(exitStatus);
}

}  // namespace

namespace platform {

bool BoundOwnMemory(size_t bytes) {
#ifdef TRELMARK_SANITIZED
    static_cast<void>(bytes);
    return false;
#else
    // RLIMIT_DATA rather than RLIMIT_AS: valgrind keeps its own memory in
    // the same address space and emulates only this one for its guest.
    struct rlimit limit;
    if (getrlimit(RLIMIT_DATA, &limit) != 0) return false;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur <= bytes) return true;  // already as tight
    limit.rlim_cur = bytes;  // below the hard limit, which is at least the soft one
    return setrlimit(RLIMIT_DATA, &limit) == 0;
#endif
}

void ArmWatchdog(unsigned seconds, const char* prefix, int status) {
    const int n = std::snprintf(line, sizeof line, "%s%u s\n", prefix, seconds);
    lineLength = n < 0 ? 0 : static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    exitStatus = status;
    struct sigaction action = {};
    action.sa_handler = OnAlarm;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
    alarm(seconds);
}

// An alarm already delivered has ended the process inside its handler.
void DisarmWatchdog() { alarm(0); }

}  // namespace platform
