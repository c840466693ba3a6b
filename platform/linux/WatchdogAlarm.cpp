// The watchdog as an alarm signal, whose handler does only what is safe in
// a signal handler: the file's calls (TextFile.h), one write and _exit.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>

#include "platform/TextFile.h"
#include "platform/Watchdog.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TRELMARK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define TRELMARK_SANITIZED 1
#endif
#endif

namespace {

// Filled before the alarm is set; the handler only reads it.
platform::WatchdogAnswer answer;

void Write(const char* text, size_t length) {
    const ssize_t written = write(STDOUT_FILENO, text, length);
    static_cast<void>(written);  // nothing is left to do about a failed write
}

void OnAlarm(int) {
    if (answer.path != nullptr) {
        const platform::FileFailure failure = platform::ReplaceFileContent(
            answer.path, answer.temporary, answer.content.data(), answer.content.size());
        if (failure.step != platform::FileStep::None) {
            const size_t length = answer.line.size() - (!answer.line.empty() && answer.line.back() == '\n');
            Write(answer.line.data(), length);
            Write(answer.unwritten, std::strlen(answer.unwritten));
            _exit(answer.unwrittenStatus);
        }
    }
    Write(answer.line.data(), answer.line.size());
    _exit(answer.status);
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

void ArmWatchdog(unsigned seconds, WatchdogAnswer given) {
    answer = std::move(given);
    struct sigaction action = {};
    action.sa_handler = OnAlarm;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
    alarm(seconds);
}

// An alarm already delivered has ended the process inside its handler.
void DisarmWatchdog() { alarm(0); }

}  // namespace platform
