// Bounds on a program's run time and memory. The run time: once armed,
// after the given seconds the watchdog gives its answer on standard output
// and ends the process with the given status, unless it was disarmed first.
// Linux uses an alarm signal (no thread to start: a check is one short
// process); Windows a thread.
#pragma once

#include <charconv>
#include <cstddef>
#include <string>
#include <utility>

namespace platform {

// Bounds the memory the program may hold to `bytes`: an allocation beyond it
// fails (malloc returns NULL, new throws std::bad_alloc) instead of growing
// the process. Linux: RLIMIT_DATA (the heap and every private writable
// mapping); Windows: a job object's process memory limit. False when no
// bound is set: sanitizer builds reserve terabytes for their shadow memory,
// so they run without one.
bool BoundOwnMemory(size_t bytes);

// What the watchdog does when it fires.
struct WatchdogAnswer {
    std::string line;  // written to standard output
    int status = 0;    // the exit status
    // When `path` is given, `content` first replaces that file through
    // `temporary` (ReplaceFileContent); when that fails the watchdog writes
    // `line` with `unwritten` in place of its line end, and exits with
    // `unwrittenStatus` instead. The texts they point to must outlive the
    // watchdog.
    const char* path = nullptr;
    const char* temporary = nullptr;
    std::string content;
    const char* unwritten = "";
    int unwrittenStatus = 0;
};

// Gives `answer` when it fires. Arm it once per process.
void ArmWatchdog(unsigned seconds, WatchdogAnswer answer);

// "<prefix><seconds> s\n", the line a timeout gives.
inline std::string TimeoutLine(const char* prefix, unsigned seconds) {
    char digits[16];
    const char* const end = std::to_chars(digits, digits + sizeof digits, seconds).ptr;
    std::string line(prefix);
    line.append(digits, static_cast<size_t>(end - digits)).append(" s\n");
    return line;
}

// Writes TimeoutLine(prefix, seconds) and exits with `status` when it fires.
inline void ArmWatchdog(unsigned seconds, const char* prefix, int status) {
    WatchdogAnswer given;
    given.line = TimeoutLine(prefix, seconds);
    given.status = status;
    ArmWatchdog(seconds, std::move(given));
}

// Once this returns the watchdog writes nothing; it does not return when
// the watchdog is answering at that moment.
void DisarmWatchdog();

}  // namespace platform
