// A bound on a program's run time: once armed, after the given seconds the
// watchdog writes its line to standard output and ends the process with the
// given status, unless it was disarmed first. Linux uses an alarm signal
// (no thread to start: a check is one short process); Windows a thread.
#pragma once

namespace platform {

// Writes "<prefix><seconds> s\n" and exits with `status` when it fires.
// `prefix` must outlive the watchdog. Arm it once per process.
void ArmWatchdog(unsigned seconds, const char* prefix, int status);

// Once this returns the watchdog writes nothing; it does not return when
// the watchdog is answering at that moment.
void DisarmWatchdog();

}  // namespace platform
