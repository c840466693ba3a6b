// Finding the processes to check and measuring them, through the same
// wrappers the check uses. Failures are thrown as Keel::Error whose message
// is the reason a monitoring user reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Win32.h"
#include "plugin/Options.h"

namespace plugin {

struct Sample {
    DWORD pid = 0;
    std::string name;  // the system's name for its image; empty when unreadable
    uint64_t bytes = 0;
};

// The process id on a pidfile's first line: blanks, decimal digits, blanks.
// Later lines are the daemon's own data. False for anything else.
bool ParsePidfileText(const char* text, size_t length, DWORD* pid);

// Reads the process id from the pidfile at `path`.
DWORD ReadPidfile(const char* path);

// Opens the process once and measures it through that handle.
Sample MeasureProcess(DWORD pid, Metric metric);

// Every process (but this one) whose image name matches `name`, in the
// system's order; none is no error.
std::vector<Sample> MeasureProcessesNamed(const char* name, Metric metric);

}  // namespace plugin
