// The watchdog as an alarm signal, whose handler does only what is safe in
// a signal handler: the file's calls (TextFile.h), one write and _exit.
#include <signal.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "platform/TextFile.h"
#include "platform/Watchdog.h"

namespace {

// Filled before the alarm is set; the handler only reads it.
platform::WatchdogAnswer answer;

void Write(const std::string& text) {
    const ssize_t written = write(STDOUT_FILENO, text.data(), text.size());
    static_cast<void>(written);  // nothing is left to do about a failed write
}

void OnAlarm(int) {
    if (!answer.path.empty()) {
        const platform::FileFailure failure = platform::ReplaceFileContent(
            answer.path.c_str(), answer.temporary.c_str(), answer.content.data(), answer.content.size());
        if (failure.step != platform::FileStep::None) {
            Write(answer.unwrittenLine);
            _exit(answer.unwrittenStatus);
        }
    }
    Write(answer.line);
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
