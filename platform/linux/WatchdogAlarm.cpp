// The watchdog as an alarm signal, whose handler does only what is safe in
// a signal handler: the file's calls (TextFile.h), one write and _exit.
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>

#include "platform/TextFile.h"
#include "platform/Watchdog.h"

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

void ArmWatchdog(unsigned seconds, const char* prefix, int status) {
    WatchdogAnswer given;
    given.line = std::string(prefix) + std::to_string(seconds) + " s\n";
    given.status = status;
    ArmWatchdog(seconds, std::move(given));
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
