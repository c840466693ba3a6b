// psapi over Linux: process memory counters from /proc/<pid>/status and
// /proc/<pid>/smaps_rollup, the process list from /proc and image names from
// /proc/<pid>/comm. Also kernel32's process snapshot (Tool Help), which
// shares the walk of /proc: names and parents from /proc/<pid>/stat.
//
// WorkingSetSize = VmRSS, PeakWorkingSetSize = VmHWM, and PrivateUsage =
// PagefileUsage = PeakPagefileUsage = VmData + VmStk: the private writable
// memory the process has committed, touched or not, which is what Windows'
// commit charge counts (Linux keeps no peak of it). The extended record's
// PrivateWorkingSetSize is Private_Clean + Private_Dirty: the resident pages
// no other process maps. smaps_rollup walks the page tables, so it is read
// only when the caller asks for that record.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "platform/ProcessMemory.h"
#include "platform/ProcessQuery.h"
#include "platform/Win32.h"
#include "platform/linux/Internal.h"
#include "platform/linux/ProcStatus.h"

namespace {

constexpr int kMalformed = -1;  // a ReadCountersAt result beside 0 and errno values

// Reads the counters from the file `path` (relative to `dir`) with a
// `Parser`, only as far as the wanted lines go and never past 1 MiB whatever
// it claims. Returns 0, the errno of a failed open or read, or kMalformed;
// `found` says whether any wanted line was there.
template <typename Parser, typename Counters>
int ReadCountersAt(int dir, const char* path, Counters* counters, bool* found) {
    const int fd = openat(dir, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    Parser parser;
    char buffer[4096];
    size_t total = 0;
    int result = 0;
    while (!parser.Complete() && total < (1u << 20)) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) result = errno;
        if (n <= 0) break;
        parser.Feed(buffer, static_cast<size_t>(n));
        total += static_cast<size_t>(n);
    }
    close(fd);
    if (result != 0) return result;
    if (!parser.Finish(counters)) return kMalformed;
    *found = parser.Found();
    return 0;
}

// The files read about a process: those of a held process (paths relative
// to its /proc directory), or of the caller itself.
struct Target {
    int dir;
    const char* prefix;  // of the file names: "" or "/proc/self/"
    const linuxapi::KernelObject* object;  // null for the calling process
};

// `prefix` + `name` in `path` (names are short constants).
const char* TargetPath(const Target& target, const char* name, char (&path)[64]) {
    if (target.prefix[0] == '\0') return name;  // a held process: relative to its directory
    const size_t prefixLength = std::strlen(target.prefix), nameLength = std::strlen(name);
    if (prefixLength + nameLength >= sizeof path) return name;
    std::memcpy(path, target.prefix, prefixLength);
    std::memcpy(path + prefixLength, name, nameLength + 1);
    return path;
}

// The target behind `process` (the pseudo handle included); false for a
// handle that is no live process. `object` holds the handle's entry.
bool FindTarget(HANDLE process, linuxapi::KernelObject* object, Target* target) {
    if (process == linuxapi::CurrentProcessPseudoHandle()) {
        *target = {AT_FDCWD, "/proc/self/", nullptr};
        return true;
    }
    if (!linuxapi::LookupObject(process, linuxapi::ObjectKind::Process, object)) return false;
    *target = {object->procDir, "", object};
    return true;
}

// Asked when /proc answers ENOENT for a held process. A process that has been
// reaped gives ESRCH, but one hidden by hidepid=invisible gives ENOENT while
// it runs on: only a question to the process itself tells the two apart.
bool HasGone(const linuxapi::KernelObject& object) {
    if (object.pidfd >= 0) {
        if (syscall(SYS_pidfd_send_signal, object.pidfd, 0, nullptr, 0) == 0) return false;
        if (errno == ESRCH) return true;
    }
    // By id: an id reused meanwhile reads as alive, which fails the check
    // instead of reporting an empty process.
    return kill(object.pid, 0) != 0 && errno == ESRCH;
}

// The result for a failure `error` of /proc about the target: zeros when the
// process has gone (it has no memory left), otherwise the error.
template <typename Counters>
BOOL Unreadable(int error, const Target& target, Counters* counters) {
    if (error == kMalformed) return linuxapi::Fail(ERROR_INVALID_DATA);
    if (target.object != nullptr && (error == ESRCH || (error == ENOENT && HasGone(*target.object)))) {
        *counters = Counters();
        return TRUE;
    }
    // ENOENT for a live process: /proc hides it from the caller.
    return error == ENOENT ? linuxapi::Fail(ERROR_ACCESS_DENIED) : linuxapi::FailWithErrno(error);
}

// The id a /proc or task directory entry names: decimal digits without a
// leading zero, within the kernel's range, NUL-ended within its `size`
// bytes; 0 for any other name.
pid_t IdFromEntry(const char* name, size_t size) {
    if (size == 0 || name[0] < '1' || name[0] > '9') return 0;
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i) {
        if (name[i] == '\0') return static_cast<pid_t>(value);
        if (name[i] < '0' || name[i] > '9') return 0;
        value = value * 10 + static_cast<uint64_t>(name[i] - '0');
        if (value > linuxapi::kMaxProcessId) return 0;
    }
    return 0;  // no terminator inside the record
}

// Calls visit(id) for each entry of the directory `dir` that names an id,
// until it returns false. Entries are read with getdents64 into a stack
// buffer and every record length is checked. Returns 0, the errno of a
// failed read, or kMalformed for a record that does not fit.
template <typename Visit>
int ForEachIdEntry(int dir, Visit&& visit) {
    constexpr size_t kNameOffset = offsetof(struct dirent64, d_name);
    alignas(struct dirent64) char entries[8192];
    for (;;) {
        const ssize_t n = getdents64(dir, entries, sizeof entries);
        if (n < 0) return errno;
        if (n == 0) return 0;
        const size_t size = static_cast<size_t>(n);
        for (size_t at = 0; at < size;) {
            if (size - at <= kNameOffset) return kMalformed;
            unsigned short length;
            std::memcpy(&length, entries + at + offsetof(struct dirent64, d_reclen), sizeof length);
            if (length <= kNameOffset || length > size - at) return kMalformed;
            const pid_t id = IdFromEntry(entries + at + kNameOffset, length - kNameOffset);
            at += length;
            if (id != 0 && !visit(id)) return 0;
        }
    }
}

// The leader shows no address space. That is a zombie or a kernel thread,
// which have no memory, or a leader that called pthread_exit while other
// threads run on: they share its address space and so its counters.
template <typename Parser, typename Counters>
BOOL ReadThroughOtherThread(const Target& target, const char* file, Counters* counters) {
    char task[64];
    const int taskDir = openat(target.dir, TargetPath(target, "task", task), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (taskDir < 0) return Unreadable(errno, target, counters);
    constexpr int kMaxTries = 64;  // threads that vanish while we look: the group is exiting
    int result = 0, tries = 0;
    const int walk = ForEachIdEntry(taskDir, [&](pid_t tid) {
        if (++tries > kMaxTries) {
            result = kMalformed;
            return false;
        }
        char path[48];
        std::snprintf(path, sizeof path, "%d/%s", static_cast<int>(tid), file);
        Counters thread;
        bool found = false;
        const int answer = ReadCountersAt<Parser>(taskDir, path, &thread, &found);
        if (answer == 0 && found) {
            *counters = thread;
            return false;
        }
        if (answer != 0 && answer != ESRCH && answer != ENOENT) result = answer;  // else it has just exited
        return result == 0;
    });
    close(taskDir);
    if (result == 0) result = walk;
    // No thread with memory left: a zombie or a kernel thread, zeros as read.
    return result == 0 ? TRUE : Unreadable(result, target, counters);
}

// The lines `Parser` takes from the process's status file.
template <typename Parser, typename Counters>
BOOL ReadStatus(const Target& target, Counters* counters) {
    bool found = false;
    char path[64];
    const int result = ReadCountersAt<Parser>(target.dir, TargetPath(target, "status", path), counters, &found);
    if (result != 0) return Unreadable(result, target, counters);
    return found ? TRUE : ReadThroughOtherThread<Parser>(target, "status", counters);
}

// smaps_rollup needs the right to inspect the process (the ptrace access
// check): EACCES for another user's process without CAP_SYS_PTRACE. Without
// an address space the kernel answers ESRCH instead of an empty text.
BOOL ReadSharingCounters(const Target& target, linuxapi::SmapsRollupCounters* counters) {
    using Parser = linuxapi::SmapsRollupParser;
    bool found = false;
    char path[64];
    const int result = ReadCountersAt<Parser>(target.dir, TargetPath(target, "smaps_rollup", path), counters, &found);
    if (result == ENOENT && faccessat(target.dir, TargetPath(target, "status", path), F_OK, 0) == 0) {
        return linuxapi::Fail(ERROR_NOT_SUPPORTED);  // a kernel before 4.14, which has no smaps_rollup
    }
    if (result == ESRCH || (result == 0 && !found)) {
        return ReadThroughOtherThread<Parser>(target, "smaps_rollup", counters);
    }
    return result == 0 ? TRUE : Unreadable(result, target, counters);
}

uint64_t SaturatingSum(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

// The counters status gives, as Windows names them: the working set is the
// resident size, the commit charge the data and stack a process has mapped.
template <typename Win32Counters>
void FillCounters(const linuxapi::ProcStatusCounters& counters, Win32Counters* out) {
    out->WorkingSetSize = counters.residentBytes;
    out->PeakWorkingSetSize = counters.peakResidentBytes;
    out->PagefileUsage = SaturatingSum(counters.dataBytes, counters.stackBytes);
    out->PeakPagefileUsage = out->PagefileUsage;
    out->PrivateUsage = out->PagefileUsage;
}

}  // namespace

extern "C" BOOL GetProcessMemoryInfo(HANDLE Process, PPROCESS_MEMORY_COUNTERS ppsmemCounters, DWORD cb) {
    if (ppsmemCounters == nullptr) return linuxapi::Fail(ERROR_NOACCESS);
    if (cb < sizeof(PROCESS_MEMORY_COUNTERS)) return linuxapi::Fail(ERROR_INSUFFICIENT_BUFFER);

    linuxapi::KernelObject object;
    Target target;
    if (!FindTarget(Process, &object, &target)) return linuxapi::Fail(ERROR_INVALID_HANDLE);
    linuxapi::ProcStatusCounters counters;
    if (!ReadStatus<linuxapi::ProcStatusParser>(target, &counters)) return FALSE;
    linuxapi::SmapsRollupCounters sharing;
    const bool extended = cb >= sizeof(PROCESS_MEMORY_COUNTERS_EX2);
    if (extended && !ReadSharingCounters(target, &sharing)) return FALSE;

    PROCESS_MEMORY_COUNTERS_EX2 all;
    std::memset(&all, 0, sizeof all);
    all.cb = extended ? static_cast<DWORD>(sizeof all)
                      : cb >= sizeof(PROCESS_MEMORY_COUNTERS_EX) ? static_cast<DWORD>(sizeof(PROCESS_MEMORY_COUNTERS_EX))
                                                                 : static_cast<DWORD>(sizeof(PROCESS_MEMORY_COUNTERS));
    FillCounters(counters, &all);
    all.PrivateWorkingSetSize = SaturatingSum(sharing.privateCleanBytes, sharing.privateDirtyBytes);
    std::memcpy(ppsmemCounters, &all, all.cb);
    return TRUE;
}

namespace platform {

const char* ProportionalSetSizeProblem() { return nullptr; }

BOOL GetProcessProportionalSetSize(HANDLE process, uint64_t* bytes) {
    if (bytes == nullptr) return linuxapi::Fail(ERROR_NOACCESS);
    linuxapi::KernelObject object;
    Target target;
    if (!FindTarget(process, &object, &target)) return linuxapi::Fail(ERROR_INVALID_HANDLE);
    linuxapi::SmapsRollupCounters sharing;
    if (!ReadSharingCounters(target, &sharing)) return FALSE;
    *bytes = sharing.proportionalBytes;
    return TRUE;
}

BOOL GetProcessCountersAndStatus(HANDLE process, PROCESS_MEMORY_COUNTERS_EX* counters, uint64_t* anonymous,
                                 uint64_t* swap) {
    if (counters == nullptr || anonymous == nullptr || swap == nullptr) return linuxapi::Fail(ERROR_NOACCESS);
    linuxapi::KernelObject object;
    Target target;
    if (!FindTarget(process, &object, &target)) return linuxapi::Fail(ERROR_INVALID_HANDLE);
    linuxapi::ProcStatusAll all;
    if (!ReadStatus<linuxapi::ProcStatusAllParser>(target, &all)) return FALSE;
    std::memset(counters, 0, sizeof *counters);
    counters->cb = sizeof *counters;
    FillCounters(all.counters, counters);
    *anonymous = all.anonSwap.anonymousBytes;
    *swap = all.anonSwap.swapBytes;
    return TRUE;
}

BOOL GetProcessStatusFigures(HANDLE process, uint64_t* anonymous, uint64_t* swap) {
    if (anonymous == nullptr || swap == nullptr) return linuxapi::Fail(ERROR_NOACCESS);
    linuxapi::KernelObject object;
    Target target;
    if (!FindTarget(process, &object, &target)) return linuxapi::Fail(ERROR_INVALID_HANDLE);
    linuxapi::ProcStatusAnonSwap counters;
    if (!ReadStatus<linuxapi::ProcStatusAnonSwapParser>(target, &counters)) return FALSE;
    *anonymous = counters.anonymousBytes;
    *swap = counters.swapBytes;
    return TRUE;
}

}  // namespace platform

// kernel32's memory status: the physical memory from /proc/meminfo.
extern "C" BOOL GlobalMemoryStatusEx(LPMEMORYSTATUSEX lpBuffer) {
    if (lpBuffer == nullptr || lpBuffer->dwLength != sizeof(MEMORYSTATUSEX)) return linuxapi::Fail(ERROR_INVALID_PARAMETER);
    // MemTotal is its first line: what the plugin needs, a share of it. The
    // rest of the record stays 0, unread.
    char text[128];
    const int fd = open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return linuxapi::FailWithErrno(errno);
    ssize_t n;
    do {
        n = read(fd, text, sizeof text);
    } while (n < 0 && errno == EINTR);
    const int error = errno;
    close(fd);
    if (n < 0) return linuxapi::FailWithErrno(error);
    const size_t size = static_cast<size_t>(n);
    uint64_t total = 0;
    if (!linuxapi::FindMemInfoBytes(text, size, "MemTotal", &total) || total == 0) {
        return linuxapi::Fail(ERROR_INVALID_DATA);
    }
    const DWORD length = lpBuffer->dwLength;
    std::memset(lpBuffer, 0, sizeof *lpBuffer);
    lpBuffer->dwLength = length;
    lpBuffer->ullTotalPhys = total;
    return TRUE;
}

// --- the process list and image names ----------------------------------------

extern "C" BOOL EnumProcesses(DWORD* lpidProcess, DWORD cb, LPDWORD lpcbNeeded) {
    if (lpcbNeeded == nullptr || (lpidProcess == nullptr && cb != 0)) return linuxapi::Fail(ERROR_NOACCESS);
    const DWORD capacity = cb / sizeof(DWORD);
    DWORD count = 0;
    if (capacity > 0) {
        const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (proc < 0) return linuxapi::FailWithErrno(errno);
        // As on Windows, a full array ends the list: the caller asks again with more room.
        const int result = ForEachIdEntry(proc, [&](pid_t id) {
            lpidProcess[count++] = static_cast<DWORD>(id);
            return count < capacity;
        });
        close(proc);
        if (result == kMalformed) return linuxapi::Fail(ERROR_INVALID_DATA);
        if (result != 0) return linuxapi::FailWithErrno(result);
    }
    *lpcbNeeded = count * static_cast<DWORD>(sizeof(DWORD));
    return TRUE;
}

// --- a process snapshot (Tool Help, kernel32 on Windows) ----------------------

namespace {

struct SnapshotEntry {
    DWORD pid;
    DWORD parent;
    char name[16];
};

struct Snapshot {
    std::vector<SnapshotEntry> entries;
    size_t next = 0;
};

void ReleaseSnapshot(void* data) { delete static_cast<Snapshot*>(data); }

// The name and parent from /proc/<id>/stat: 0 when read, kLeftOut when the
// process has gone or is hidden from this user, else the errno. Running out
// of descriptors or memory must fail the list, never drop a process from it.
constexpr int kLeftOut = -2;

// "<id>/<file>" into `path`, which holds 10 digits, the slash and `file`.
template <size_t N>
const char* IdPath(pid_t id, const char (&file)[N], char (&path)[11 + N]) {
    const size_t n = linuxapi::IdDigits(static_cast<uint32_t>(id), path);
    path[n] = '/';
    std::memcpy(path + n + 1, file, N);
    return path;
}

int ReadIdentity(int proc, pid_t id, SnapshotEntry* entry) {
    char path[11 + sizeof "stat"];
    IdPath(id, "stat", path);
    const int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
    char text[512];  // the fields up to the parent's id fit well within this
    ssize_t n = -1;
    if (fd >= 0) {
        do {
            n = read(fd, text, sizeof text);
        } while (n < 0 && errno == EINTR);
    }
    const int error = n < 0 ? errno : 0;
    if (fd >= 0) close(fd);
    if (error == ENOENT || error == ESRCH || error == EACCES || error == EPERM) return kLeftOut;
    if (error != 0) return error;
    pid_t parent = 0;
    if (n == 0 || !linuxapi::ParseStatIdentity(text, static_cast<size_t>(n), entry->name, &parent)) return kLeftOut;
    entry->pid = static_cast<DWORD>(id);
    entry->parent = static_cast<DWORD>(parent);
    return 0;
}

BOOL FillEntry(HANDLE snapshot, LPPROCESSENTRY32 entry, bool first) {
    if (entry == nullptr || entry->dwSize < sizeof(PROCESSENTRY32)) return linuxapi::Fail(ERROR_INVALID_PARAMETER);
    linuxapi::KernelObject object;
    if (!linuxapi::LookupObject(snapshot, linuxapi::ObjectKind::Snapshot, &object)) return linuxapi::Fail(ERROR_INVALID_HANDLE);
    Snapshot& list = *static_cast<Snapshot*>(object.data);
    if (first) list.next = 0;
    if (list.next >= list.entries.size()) return linuxapi::Fail(ERROR_NO_MORE_FILES);
    const SnapshotEntry& from = list.entries[list.next++];
    const DWORD size = entry->dwSize;
    std::memset(entry, 0, sizeof *entry);
    entry->dwSize = size;
    entry->th32ProcessID = from.pid;
    entry->th32ParentProcessID = from.parent;
    std::memcpy(entry->szExeFile, from.name, sizeof from.name);
    return TRUE;
}

}  // namespace

// Taken at once, so that later calls see one moment's list. Processes that
// end while it is taken are left out.
extern "C" HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD) {
    if ((dwFlags & TH32CS_SNAPPROCESS) == 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) {
        linuxapi::FailWithErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    Snapshot* snapshot = new (std::nothrow) Snapshot;
    int result = snapshot == nullptr ? ENOMEM : 0;
    if (snapshot != nullptr) {
        try {
            int failed = 0;
            result = ForEachIdEntry(proc, [&](pid_t id) {
                SnapshotEntry entry;
                const int read = ReadIdentity(proc, id, &entry);
                if (read == 0) snapshot->entries.push_back(entry);
                if (read > 0) failed = read;
                return read <= 0;
            });
            if (result == 0) result = failed;
        } catch (const std::bad_alloc&) {
            result = ENOMEM;
        }
    }
    close(proc);
    if (result != 0) {
        delete snapshot;
        if (result == kMalformed) linuxapi::Fail(ERROR_INVALID_DATA); else linuxapi::FailWithErrno(result);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = linuxapi::InsertSnapshot(snapshot, ReleaseSnapshot);
    return handle != nullptr ? handle : INVALID_HANDLE_VALUE;
}

namespace platform {

bool ListProcessIds(std::vector<DWORD>* pids) {
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return linuxapi::FailWithErrno(errno);
    int result = 0;
    try {
        pids->clear();
        result = ForEachIdEntry(proc, [&](pid_t id) {
            pids->push_back(static_cast<DWORD>(id));
            return true;
        });
    } catch (const std::bad_alloc&) {
        result = ENOMEM;
    }
    close(proc);
    if (result == kMalformed) return linuxapi::Fail(ERROR_INVALID_DATA);
    return result == 0 || linuxapi::FailWithErrno(result);
}

}  // namespace platform

extern "C" BOOL Process32First(HANDLE hSnapshot, LPPROCESSENTRY32 lppe) { return FillEntry(hSnapshot, lppe, true); }
extern "C" BOOL Process32Next(HANDLE hSnapshot, LPPROCESSENTRY32 lppe) { return FillEntry(hSnapshot, lppe, false); }

// The main module's base name is the command name the kernel keeps
// (what ps -o comm= shows, at most 15 bytes).
extern "C" DWORD GetModuleBaseNameA(HANDLE hProcess, HMODULE hModule, LPSTR lpBaseName, DWORD nSize) {
    if (hModule != nullptr) return linuxapi::Fail(ERROR_MOD_NOT_FOUND);
    if (lpBaseName == nullptr || nSize == 0) return linuxapi::Fail(ERROR_INSUFFICIENT_BUFFER);
    linuxapi::KernelObject object;
    Target target;
    if (!FindTarget(hProcess, &object, &target)) return linuxapi::Fail(ERROR_INVALID_HANDLE);
    char path[64];
    const int fd = openat(target.dir, TargetPath(target, "comm", path), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return linuxapi::FailWithErrno(errno);
    char name[64];
    ssize_t length;
    do {
        length = read(fd, name, sizeof name);
    } while (length < 0 && errno == EINTR);
    const int error = errno;
    close(fd);
    if (length < 0) return linuxapi::FailWithErrno(error);
    if (length > 0 && name[length - 1] == '\n') --length;  // the kernel's line end, not part of the name
    const size_t copied = std::min(static_cast<size_t>(length), static_cast<size_t>(nSize) - 1);
    std::memcpy(lpBaseName, name, copied);
    lpBaseName[copied] = '\0';
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(copied);
}
