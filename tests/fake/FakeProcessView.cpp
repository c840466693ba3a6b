// The platform's own calls beside the Win32 subset, unscripted: the plugin's
// list tests select by name only and never reach them.
#include "platform/ProcessMemory.h"
#include "platform/ProcessQuery.h"
#include "platform/ProcessView.h"

namespace platform {

BOOL GetProcessProportionalSetSize(HANDLE, uint64_t*) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL GetProcessStatusFigures(HANDLE, uint64_t*, uint64_t*) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL GetProcessCountersAndStatus(HANDLE, PROCESS_MEMORY_COUNTERS_EX*, uint64_t*, uint64_t*) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

FileProblem ReadRegularFile(const char*, char*, size_t, size_t*, std::string* reason) {
    *reason = "not scripted";
    return FileProblem::Unreadable;
}

bool ReadCommandLine(HANDLE, std::string*) { return ::SetLastError(ERROR_NOT_SUPPORTED), false; }
bool PeekCommandLine(DWORD, std::string*) { return ::SetLastError(ERROR_NOT_SUPPORTED), false; }

// The scripted snapshot's ids, as a scan by command line lists them.
bool ListProcessIds(std::vector<DWORD>* pids) {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    pids->clear();
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32First(snapshot, &entry); more; more = ::Process32Next(snapshot, &entry)) {
        pids->push_back(entry.th32ProcessID);
    }
    const DWORD error = ::GetLastError();
    ::CloseHandle(snapshot);
    ::SetLastError(error);
    return error == ERROR_NO_MORE_FILES;
}
bool FullImageNameIs(HANDLE, const char*, bool*) { return ::SetLastError(ERROR_NOT_SUPPORTED), false; }
bool ProcessOwnedBy(HANDLE, const User&, bool*) { return ::SetLastError(ERROR_NOT_SUPPORTED), false; }
const char* ControlGroupPathProblem(const char*) { return nullptr; }
DWORD ParentProcessId() { return 1; }
bool AddDescendants(std::vector<DWORD>*) { return ::SetLastError(ERROR_NOT_SUPPORTED), false; }

bool ResolveUser(const char*, User*, std::string* reason) {
    *reason = "not scripted";
    return false;
}

bool FindServiceProcesses(const char*, ServiceProcesses*, std::string* reason) {
    *reason = "not scripted";
    return false;
}

bool FindControlGroupProcesses(const char*, std::vector<DWORD>*, std::string* reason) {
    *reason = "not scripted";
    return false;
}

struct Pattern::Compiled {};
Pattern::Pattern() = default;
Pattern::~Pattern() = default;
bool Pattern::Compile(const std::string&, std::string* error) {
    *error = "not scripted";
    return false;
}
bool Pattern::Matches(const std::string&) const { return false; }

}  // namespace platform
