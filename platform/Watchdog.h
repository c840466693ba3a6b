// Bounds on a program's run time and memory. The run time: once armed, after the given seconds the
// watchdog writes its line to standard output and ends the process with the
// given status, unless it was disarmed first. Linux uses an alarm signal
// (no thread to start: a check is one short process); Windows a thread.
#pragma once

#include <cstddef>

namespace platform {

// Bounds the memory the program may hold to `bytes`: an allocation beyond it
// fails (malloc returns NULL, new throws std::bad_alloc) instead of growing
// the process. Linux: RLIMIT_DATA (the heap and every private writable
// mapping); Windows: a job object's process memory limit. False when no
// bound is set: sanitizer builds reserve terabytes for their shadow memory,
// so they run without one.
bool BoundOwnMemory(size_t bytes);

// Writes "<prefix><seconds> s\n" and exits with `status` when it fires.
// `prefix` must outlive the watchdog. Arm it once per process.
void ArmWatchdog(unsigned seconds, const char* prefix, int status);

// Once this returns the watchdog writes nothing; it does not return when
// the watchdog is answering at that moment.
void DisarmWatchdog();

}  // namespace platform
