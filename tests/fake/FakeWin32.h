// A scripted stand-in for the Win32 subset, linked into the fake test binary
// in place of the platform layer, so that failure paths can be produced at
// will. Every call is recorded by name.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/Win32.h"

namespace fake {

struct Platform {
    std::vector<std::string> calls;

    // FormatMessageA: known texts by code; other codes fail with `formatFailure`.
    std::map<DWORD, std::string> messages;
    DWORD formatFailure = ERROR_MR_MID_NOT_FOUND;

    // Handles: every handle handed out is live until closed.
    std::set<HANDLE> live;
    uintptr_t nextHandle = 0x100;
    DWORD closeFailure = 0;  // non-zero: CloseHandle fails with it

    DWORD openProcessFailure = 0;
    DWORD openTokenFailure = 0;
    DWORD lookupFailure = 0;
    DWORD adjustLastError = 0;  // left by AdjustTokenPrivileges, which returns TRUE
    std::vector<TOKEN_PRIVILEGES> adjustRequests;

    // EnumProcesses and the process snapshot list `processes`; EnumProcesses as much as the buffer holds, and
    // records each buffer size it was given.
    std::vector<DWORD> processes;
    std::vector<DWORD> listRequests;
    size_t snapshotNext = 0;  // the next entry Process32Next hands out

    DWORD memoryFailure = 0;
    PROCESS_MEMORY_COUNTERS_EX counters{};

    // Version resource of the "program file": absent when !hasVersion.
    bool hasVersion = true;
    std::string fileVersion = "1, 0, 0, 54";
    bool hasFileVersionKey = true;

    BOOL afxResult = TRUE;
    UINT errorMode = 0;

    HANDLE NewHandle();
};

// Resets the fake to its defaults and returns it.
Platform& Reset();
Platform& State();

void SetArguments(const std::vector<std::string>& arguments);

}  // namespace fake
