// The proportional set size: each resident page divided among the processes
// that map it, so that the figures of many processes add up to the memory
// they hold. Only Linux keeps it; Windows' nearest figure is the private
// working set of PROCESS_MEMORY_COUNTERS_EX2.
#pragma once

#include <cstdint>

#include "platform/Win32.h"

namespace platform {

#ifdef _WIN32
// Windows before 10 1809 (and Wine) leave the private working set unfilled:
// a zero beside a working set that is not zero.
constexpr bool kPrivateWorkingSetMayBeUnfilled = true;

inline const char* ProportionalSetSizeProblem() {
    return "Windows keeps no proportional set size (-m pss): use -m uss, the private working set as Task Manager "
           "shows it, which adds up across processes";
}

inline BOOL GetProcessProportionalSetSize(HANDLE, uint64_t*) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

#else
// Linux always fills it: a zero is the process's answer.
constexpr bool kPrivateWorkingSetMayBeUnfilled = false;

// Why this system keeps no proportional set size, naming the figure to use
// instead; nullptr where it keeps one.
const char* ProportionalSetSizeProblem();

// The proportional set size in bytes of a process that OpenProcess opened
// (or of the pseudo handle). Reading it needs the right to inspect the
// process; FALSE with the last error set on failure.
BOOL GetProcessProportionalSetSize(HANDLE process, uint64_t* bytes);

#endif

}  // namespace platform
