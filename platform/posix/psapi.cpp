// psapi over Linux: process memory counters from /proc/<pid>/status.
//
// WorkingSetSize = VmRSS, PeakWorkingSetSize = VmHWM, and PrivateUsage =
// PagefileUsage = PeakPagefileUsage = VmData + VmStk: the private writable
// memory the process has committed, touched or not, which is what Windows'
// commit charge counts (Linux keeps no peak of it).
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/Win32.h"
#include "platform/posix/Internal.h"
#include "platform/posix/ProcStatus.h"

namespace posix {

void ProcStatusParser::Feed(const char* data, size_t size) {
    const char* p = data;
    const char* const end = data + size;
    while (p < end && !Complete()) {
        if (state_ == State::Skip) {
            // Most lines are of no interest: jump to the next one at once.
            const char* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (newline == nullptr) return;
            p = newline;
        }
        const char c = *p++;
        if (c == '\n') {
            EndLine();
            continue;
        }
        switch (state_) {
        case State::Key:
            if (c == ':') {
                StartValue();
            } else if (keyLength_ < sizeof key_ && (keyLength_ > 0 || c == 'V')) {
                key_[keyLength_++] = c;  // every wanted name starts with "Vm"
            } else {
                state_ = State::Skip;
            }
            break;
        case State::Value:
            if (c >= '0' && c <= '9') {
                const uint64_t digit = static_cast<uint64_t>(c - '0');
                if (value_ > (UINT64_MAX - digit) / 10) malformed_ = true;
                value_ = value_ * 10 + digit;
                ++digits_;
            } else if ((c == ' ' || c == '\t') && digits_ == 0) {
                // blanks before the number
            } else if (c == ' ' && digits_ > 0) {
                state_ = State::Unit;
            } else {
                malformed_ = true;
                state_ = State::Skip;
            }
            break;
        case State::Unit:
            // Exactly "kB" after the number's blank.
            if (unitLength_ < 2 && c == "kB"[unitLength_]) {
                ++unitLength_;
            } else {
                malformed_ = true;
                state_ = State::Skip;
            }
            break;
        case State::Skip:
            break;
        }
    }
}

void ProcStatusParser::StartValue() {
    static const struct {
        const char* name;
        unsigned length;
    } kNames[] = {{"VmRSS", 5}, {"VmHWM", 5}, {"VmData", 6}, {"VmStk", 5}};
    field_ = 0;
    for (unsigned f = 0; f < 4; ++f) {
        if (keyLength_ == kNames[f].length && std::memcmp(key_, kNames[f].name, keyLength_) == 0) field_ = 1u << f;
    }
    // Only the first line of each name counts.
    state_ = field_ != 0 && (seen_ & field_) == 0 ? State::Value : State::Skip;
    value_ = 0;
    digits_ = 0;
    unitLength_ = 0;
}

void ProcStatusParser::EndLine() {
    if (state_ == State::Value || state_ == State::Unit) {
        if (digits_ == 0 || unitLength_ != 2) {
            malformed_ = true;
        } else {
            unsigned index = 0;
            while ((1u << index) != field_) ++index;
            kilobytes_[index] = value_;
            seen_ |= field_;
        }
    }
    state_ = State::Key;
    keyLength_ = 0;
    field_ = 0;
}

bool ProcStatusParser::Finish(ProcStatusCounters* counters) {
    EndLine();  // a last line without its line feed still counts
    if (malformed_) return false;
    uint64_t* const bytes[4] = {&counters->residentBytes, &counters->peakResidentBytes, &counters->dataBytes,
                                &counters->stackBytes};
    for (unsigned i = 0; i < 4; ++i) {
        if (kilobytes_[i] > UINT64_MAX / 1024) return false;
        *bytes[i] = kilobytes_[i] * 1024;
    }
    return true;
}

}  // namespace posix

namespace {

// A process that has gone (exited and reaped after it was opened) answers
// ESRCH or ENOENT through its held directory: it has no memory left.
bool ProcessHasGone(int error) { return error == ESRCH || error == ENOENT; }

// Reads the counters through `statusFd`; the file is read only as far as the
// wanted lines go, and never past 1 MiB whatever it claims.
BOOL ReadCounters(int statusFd, posix::ProcStatusCounters* counters) {
    posix::ProcStatusParser parser;
    char buffer[4096];
    size_t total = 0;
    while (!parser.Complete() && total < (1u << 20)) {
        ssize_t n = read(statusFd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (ProcessHasGone(errno)) return TRUE;
            return posix::FailWithErrno(errno);
        }
        if (n == 0) break;
        parser.Feed(buffer, static_cast<size_t>(n));
        total += static_cast<size_t>(n);
    }
    if (!parser.Finish(counters)) return posix::Fail(ERROR_INVALID_DATA);
    return TRUE;
}

}  // namespace

extern "C" BOOL GetProcessMemoryInfo(HANDLE Process, PPROCESS_MEMORY_COUNTERS ppsmemCounters, DWORD cb) {
    if (ppsmemCounters == nullptr) return posix::Fail(ERROR_NOACCESS);
    if (cb < sizeof(PROCESS_MEMORY_COUNTERS)) return posix::Fail(ERROR_INSUFFICIENT_BUFFER);

    int statusFd;
    if (Process == posix::CurrentProcessPseudoHandle()) {
        statusFd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    } else {
        posix::KernelObject object;
        if (!posix::LookupObject(Process, posix::ObjectKind::Process, &object)) {
            return posix::Fail(ERROR_INVALID_HANDLE);
        }
        statusFd = openat(object.procDir, "status", O_RDONLY | O_CLOEXEC);
    }

    posix::ProcStatusCounters counters;
    if (statusFd < 0) {
        if (!ProcessHasGone(errno)) return posix::FailWithErrno(errno);
    } else {
        BOOL ok = ReadCounters(statusFd, &counters);
        close(statusFd);
        if (!ok) return FALSE;
    }

    const uint64_t privateBytes = counters.dataBytes + counters.stackBytes;
    PROCESS_MEMORY_COUNTERS_EX all;
    std::memset(&all, 0, sizeof all);
    all.cb = cb >= sizeof all ? static_cast<DWORD>(sizeof all) : static_cast<DWORD>(sizeof(PROCESS_MEMORY_COUNTERS));
    all.WorkingSetSize = counters.residentBytes;
    all.PeakWorkingSetSize = counters.peakResidentBytes;
    all.PagefileUsage = privateBytes < counters.dataBytes ? UINT64_MAX : privateBytes;  // saturate, never wrap
    all.PeakPagefileUsage = all.PagefileUsage;
    all.PrivateUsage = all.PagefileUsage;
    std::memcpy(ppsmemCounters, &all, all.cb);
    return TRUE;
}

// --- the process list and image names ----------------------------------------

namespace {

// A /proc entry that names a process: decimal digits without a leading zero,
// within the kernel's range of ids. Anything else is 0.
DWORD ProcessIdFromEntry(const char* name) {
    if (name[0] < '1' || name[0] > '9') return 0;
    DWORD id = 0;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        id = id * 10 + static_cast<DWORD>(*p - '0');
        if (id > 0x3FFFFFFFu) return 0;
    }
    return id;
}

// Opens `file` of the process behind `process` (the pseudo handle included).
int OpenProcessFile(HANDLE process, const char* file) {
    if (process == posix::CurrentProcessPseudoHandle()) {
        char path[32] = "/proc/self/";
        std::strncat(path, file, sizeof path - std::strlen(path) - 1);
        return open(path, O_RDONLY | O_CLOEXEC);
    }
    posix::KernelObject object;
    if (!posix::LookupObject(process, posix::ObjectKind::Process, &object)) {
        errno = EBADF;
        return -1;
    }
    return openat(object.procDir, file, O_RDONLY | O_CLOEXEC);
}

}  // namespace

extern "C" BOOL EnumProcesses(DWORD* lpidProcess, DWORD cb, LPDWORD lpcbNeeded) {
    if (lpcbNeeded == nullptr || (lpidProcess == nullptr && cb != 0)) return posix::Fail(ERROR_NOACCESS);
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return posix::FailWithErrno(errno);
    const DWORD capacity = cb / sizeof(DWORD);
    DWORD count = 0;
    // As on Windows, a full array ends the list: the caller asks again with more room.
    alignas(dirent64) char buffer[16384];
    while (count < capacity) {
        const ssize_t n = getdents64(proc, buffer, sizeof buffer);
        if (n < 0) {
            const int error = errno;
            close(proc);
            return posix::FailWithErrno(error);
        }
        if (n == 0) break;
        for (ssize_t at = 0; at < n && count < capacity;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            if (entry->d_reclen == 0 || entry->d_reclen > n - at) break;  // never trust a length blindly
            at += entry->d_reclen;
            if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) continue;
            const DWORD id = ProcessIdFromEntry(entry->d_name);
            if (id != 0) lpidProcess[count++] = id;
        }
    }
    close(proc);
    *lpcbNeeded = count * static_cast<DWORD>(sizeof(DWORD));
    return TRUE;
}

// The main module's base name is the command name the kernel keeps
// (what ps -o comm= shows, at most 15 bytes).
extern "C" DWORD GetModuleBaseNameA(HANDLE hProcess, HMODULE hModule, LPSTR lpBaseName, DWORD nSize) {
    if (hModule != nullptr) return posix::Fail(ERROR_MOD_NOT_FOUND);
    if (lpBaseName == nullptr || nSize == 0) return posix::Fail(ERROR_INSUFFICIENT_BUFFER);
    const int fd = OpenProcessFile(hProcess, "comm");
    if (fd < 0) return posix::FailWithErrno(errno);
    char name[64];
    ssize_t length;
    do {
        length = read(fd, name, sizeof name);
    } while (length < 0 && errno == EINTR);
    const int error = errno;
    close(fd);
    if (length < 0) return posix::FailWithErrno(error);
    if (length > 0 && name[length - 1] == '\n') --length;  // the kernel's line end, not part of the name
    const size_t copied = std::min(static_cast<size_t>(length), static_cast<size_t>(nSize) - 1);
    std::memcpy(lpBaseName, name, copied);
    lpBaseName[copied] = '\0';
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(copied);
}
