// The proportional set size: each resident page divided among the processes
// that map it, so that the figures of many processes add up to the memory
// they hold. Only Linux keeps it; Windows' nearest figure is the private
// working set of PROCESS_MEMORY_COUNTERS_EX2.
#pragma once

#include <cstdint>

#include "platform/Win32.h"

namespace platform {

// Two more per-process figures from Linux's status file: the resident
// anonymous memory (RssAnon: heap and stacks, no shared libraries or file
// cache) and the memory swapped out (VmSwap).
enum class StatusFigure { Anonymous, Swap };

#ifdef _WIN32
// Windows before 10 1809 (and Wine) leave the private working set unfilled:
// a zero beside a working set that is not zero.
constexpr bool kPrivateWorkingSetMayBeUnfilled = true;

inline const char* StatusFigureProblem(StatusFigure figure) {
    return figure == StatusFigure::Swap
               ? "Windows keeps no per-process swap figure (-m swap): use -m private, the commit charge, which "
                 "counts what was paged out too"
               : "Windows keeps no resident anonymous memory (-m anon): use -m uss, the private working set, or -m "
                 "private, the commit charge";
}

inline BOOL GetProcessStatusFigures(HANDLE, uint64_t*, uint64_t*) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

inline BOOL GetProcessCountersAndStatus(HANDLE, PROCESS_MEMORY_COUNTERS_EX*, uint64_t*, uint64_t*) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

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

inline const char* StatusFigureProblem(StatusFigure) { return nullptr; }

// The resident anonymous and the swapped-out memory in bytes of a process
// that OpenProcess opened, from one read of status, which needs no right
// beyond seeing the process. FALSE with the last error set.
BOOL GetProcessStatusFigures(HANDLE process, uint64_t* anonymous, uint64_t* swap);

// GetProcessMemoryInfo's counters and both figures from one read of status,
// for a check that reports every figure.
BOOL GetProcessCountersAndStatus(HANDLE process, PROCESS_MEMORY_COUNTERS_EX* counters, uint64_t* anonymous,
                                 uint64_t* swap);

#endif

}  // namespace platform
