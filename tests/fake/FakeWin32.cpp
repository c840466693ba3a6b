#include "tests/fake/FakeWin32.h"

#include <algorithm>
#include <cstring>

int __argc = 0;
char** __argv = nullptr;

namespace fake {

namespace {
Platform platform;
DWORD lastError = 0;
std::vector<std::string> argumentStore;
std::vector<char*> argumentPointers;

BOOL Fail(DWORD code) {
    lastError = code;
    return FALSE;
}
}  // namespace

HANDLE Platform::NewHandle() {
    HANDLE handle = reinterpret_cast<HANDLE>(nextHandle);
    nextHandle += 4;
    live.insert(handle);
    return handle;
}

Platform& Reset() {
    platform = Platform();
    lastError = 0;
    return platform;
}

Platform& State() { return platform; }

void SetArguments(const std::vector<std::string>& arguments) {
    argumentStore = arguments;
    argumentPointers.clear();
    for (std::string& argument : argumentStore) argumentPointers.push_back(&argument[0]);
    argumentPointers.push_back(nullptr);
    __argc = static_cast<int>(argumentStore.size());
    __argv = argumentPointers.data();
}

}  // namespace fake

using fake::platform;

extern "C" {

DWORD GetLastError(void) { return fake::lastError; }
void SetLastError(DWORD code) { fake::lastError = code; }

DWORD FormatMessageA(DWORD, LPCVOID, DWORD code, DWORD, LPSTR buffer, DWORD size, void*) {
    platform.calls.push_back("FormatMessageA");
    auto found = platform.messages.find(code);
    if (found == platform.messages.end()) return fake::Fail(platform.formatFailure);
    if (found->second.size() >= size) return fake::Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, found->second.c_str(), found->second.size() + 1);
    return static_cast<DWORD>(found->second.size());
}

LPSTR GetCommandLineA(void) {
    static char line[] = "Trelmark64";
    return line;
}

HMODULE GetModuleHandleA(LPCSTR) { return reinterpret_cast<HMODULE>(0x400000); }

DWORD GetModuleFileNameA(HMODULE, LPSTR name, DWORD size) {
    const char path[] = "/fake/Trelmark64";
    if (size < sizeof path) return fake::Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(name, path, sizeof path);
    return sizeof path - 1;
}

HANDLE GetCurrentProcess(void) { return INVALID_HANDLE_VALUE; }
DWORD GetCurrentProcessId(void) { return 4242; }

HANDLE OpenProcess(DWORD, BOOL, DWORD) {
    platform.calls.push_back("OpenProcess");
    if (platform.openProcessFailure != 0) {
        fake::lastError = platform.openProcessFailure;
        return nullptr;
    }
    return platform.NewHandle();
}

BOOL GetHandleInformation(HANDLE handle, LPDWORD flags) {
    if (platform.live.count(handle) == 0) return fake::Fail(ERROR_INVALID_HANDLE);
    *flags = 0;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    platform.calls.push_back("CloseHandle");
    if (platform.closeFailure != 0) return fake::Fail(platform.closeFailure);
    if (platform.live.erase(handle) == 0) return fake::Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

UINT SetErrorMode(UINT mode) {
    UINT previous = platform.errorMode;
    platform.errorMode = mode;
    return previous;
}
UINT GetErrorMode(void) { return platform.errorMode; }

BOOL OpenProcessToken(HANDLE, DWORD, PHANDLE token) {
    platform.calls.push_back("OpenProcessToken");
    if (platform.openTokenFailure != 0) return fake::Fail(platform.openTokenFailure);
    *token = platform.NewHandle();
    return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR, LPCSTR, PLUID luid) {
    platform.calls.push_back("LookupPrivilegeValueA");
    if (platform.lookupFailure != 0) return fake::Fail(platform.lookupFailure);
    luid->LowPart = 20;
    luid->HighPart = 0;
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE, BOOL, PTOKEN_PRIVILEGES state, DWORD, PTOKEN_PRIVILEGES, PDWORD) {
    platform.calls.push_back("AdjustTokenPrivileges");
    platform.adjustRequests.push_back(*state);
    fake::lastError = platform.adjustLastError;
    return TRUE;
}

BOOL GetProcessMemoryInfo(HANDLE, PPROCESS_MEMORY_COUNTERS counters, DWORD cb) {
    platform.calls.push_back("GetProcessMemoryInfo");
    if (platform.memoryFailure != 0) return fake::Fail(platform.memoryFailure);
    if (cb != sizeof(PROCESS_MEMORY_COUNTERS_EX) || counters->cb != cb) return fake::Fail(ERROR_INVALID_PARAMETER);
    std::memcpy(counters, &platform.counters, sizeof platform.counters);
    return TRUE;
}

BOOL EnumProcesses(DWORD* ids, DWORD cb, LPDWORD needed) {
    platform.listRequests.push_back(cb);
    const size_t count = std::min(platform.processes.size(), static_cast<size_t>(cb / sizeof(DWORD)));
    std::copy(platform.processes.begin(), platform.processes.begin() + static_cast<std::ptrdiff_t>(count), ids);
    *needed = static_cast<DWORD>(count * sizeof(DWORD));
    return TRUE;
}

// The snapshot lists `processes`, each named "svc".
HANDLE CreateToolhelp32Snapshot(DWORD, DWORD) {
    platform.calls.push_back("CreateToolhelp32Snapshot");
    platform.snapshotNext = 0;
    return platform.NewHandle();
}

BOOL Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry) {
    if (platform.live.count(snapshot) == 0) return fake::Fail(ERROR_INVALID_HANDLE);
    if (platform.snapshotNext >= platform.processes.size()) return fake::Fail(ERROR_NO_MORE_FILES);
    entry->th32ProcessID = platform.processes[platform.snapshotNext++];
    entry->th32ParentProcessID = 1;
    std::memcpy(entry->szExeFile, "svc", 4);
    return TRUE;
}

BOOL Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry) {
    platform.snapshotNext = 0;
    return Process32Next(snapshot, entry);
}

DWORD GetModuleBaseNameA(HANDLE, HMODULE, LPSTR name, DWORD size) {
    if (size < 4) return 0;
    std::memcpy(name, "svc", 4);
    return 3;
}

BOOL GetExitCodeProcess(HANDLE, LPDWORD code) {
    *code = STILL_ACTIVE;
    return TRUE;
}

// The version "resource" is a small fixed layout of this fake's own:
// [translation pair][NUL-terminated FileVersion text].
DWORD GetFileVersionInfoSizeA(LPCSTR, LPDWORD handle) {
    platform.calls.push_back("GetFileVersionInfoSizeA");
    *handle = 0;
    if (!platform.hasVersion) return fake::Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return static_cast<DWORD>(4 + platform.fileVersion.size() + 1);
}

BOOL GetFileVersionInfoA(LPCSTR, DWORD, DWORD size, LPVOID data) {
    platform.calls.push_back("GetFileVersionInfoA");
    auto* bytes = static_cast<BYTE*>(data);
    const WORD pair[2] = {0x0409, 0x04B0};
    std::memcpy(bytes, pair, 4);
    std::memcpy(bytes + 4, platform.fileVersion.c_str(), size - 4);
    return TRUE;
}

BOOL VerQueryValueA(LPCVOID block, LPCSTR path, LPVOID* value, PUINT length) {
    auto* bytes = static_cast<BYTE*>(const_cast<void*>(block));
    if (std::strcmp(path, "\\VarFileInfo\\Translation") == 0) {
        *value = bytes;
        *length = 4;
        return TRUE;
    }
    if (platform.hasFileVersionKey && std::strcmp(path, "\\StringFileInfo\\040904b0\\FileVersion") == 0) {
        *value = bytes + 4;
        *length = static_cast<UINT>(std::strlen(reinterpret_cast<char*>(bytes + 4)) + 1);
        return TRUE;
    }
    return FALSE;
}

}  // extern "C"

BOOL AfxWinInit(HINSTANCE, HINSTANCE, LPSTR, int) {
    platform.calls.push_back("AfxWinInit");
    return platform.afxResult;
}
