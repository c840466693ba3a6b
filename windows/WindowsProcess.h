// Process memory counters.
#pragma once

#include "platform/Win32.h"

namespace Windows {

// Reads the counters of `hProcess` in megabytes (bytes / 1048576.0, fraction
// kept). The working set and its peak are always written; the other three
// only where the pointer is not NULL. Throws Keel::Error with the system's text.
void GetProcessMemoryCounters(HANDLE hProcess, double* workingSet, double* peakWorkingSet, double* pagefileUsage,
                              double* peakPagefileUsage, double* privateUsage);

}  // namespace Windows
