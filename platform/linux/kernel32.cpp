// kernel32 over Linux: last error, system message texts, the command line,
// the program's own module, process handles and the error mode.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/Win32.h"
#include "platform/linux/Internal.h"
#include "platform/linux/ProcStatus.h"

// --- the program's arguments -------------------------------------------------

int __argc = 0;
char** __argv = nullptr;

namespace {

// glibc hands (argc, argv, envp) to .init_array entries: the arguments are
// kept as the Windows CRT keeps them, without any constructor or heap.
// Windows has no SIGPIPE: there a write to a closed pipe just fails, and the
// exit code stays the program's own answer. So it is here.
void CaptureArguments(int argc, char** argv, char**) {
    __argc = argc;
    __argv = argv;
    signal(SIGPIPE, SIG_IGN);
}
__attribute__((section(".init_array"), used)) void (*const captureArguments)(int, char**, char**) = CaptureArguments;

thread_local DWORD lastError = ERROR_SUCCESS;
// The errno behind lastError when it came from one, else 0: the plugin says
// what strerror says for it, which is finer than the Windows code.
thread_local int lastErrno = 0;

// Writes into a fixed buffer, counting what does not fit.
struct LineWriter {
    char* out;
    size_t capacity;
    size_t length = 0;
    void Put(char c) {
        if (length + 1 < capacity) out[length] = c;
        ++length;
    }
    void Repeat(size_t count, char c) {
        while (count-- > 0) Put(c);
    }
};

// Appends `arg` quoted so that the Windows command-line splitter gives it back.
void AppendQuoted(LineWriter& line, const char* arg) {
    if (arg[0] != '\0' && std::strpbrk(arg, " \t\n\v\"") == nullptr) {
        for (const char* p = arg; *p != '\0'; ++p) line.Put(*p);
        return;
    }
    line.Put('"');
    for (const char* p = arg;; ++p) {
        size_t backslashes = 0;
        while (*p == '\\') {
            ++p;
            ++backslashes;
        }
        if (*p == '\0') {
            line.Repeat(backslashes * 2, '\\');  // they precede the closing quote
            break;
        }
        line.Repeat(*p == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        line.Put(*p);
    }
    line.Put('"');
}

}  // namespace

extern "C" {

DWORD GetLastError(void) { return lastError; }
void SetLastError(DWORD dwErrCode) {
    lastError = dwErrCode;
    lastErrno = 0;
}

LPSTR GetCommandLineA(void) {
    // Windows caps a command line at 32767 characters; so does this copy,
    // which keeps the check's start-up free of heap allocation.
    static char line[32768];
    static bool built = false;
    if (!built) {
        linuxapi::JoinCommandLine(__argc, __argv, line, sizeof line);
        built = true;
    }
    return line;
}

}  // extern "C"

size_t linuxapi::JoinCommandLine(int argc, char* const* argv, char* out, size_t capacity) {
    LineWriter line{out, capacity};
    for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i) {
        if (i > 0) line.Put(' ');
        AppendQuoted(line, argv[i]);
    }
    if (capacity > 0) out[std::min(line.length, capacity - 1)] = '\0';
    return line.length;
}

// --- system message texts ----------------------------------------------------

namespace {

struct Message {
    DWORD code;
    const char* text;
};

// The English texts Windows gives for the codes this layer can produce,
// line ends and inserts included, so the Linux build prints what Windows prints.
const Message kMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {34, "The wrong diskette is in the drive.\r\nInsert %2 (Volume Serial Number: %3) into drive %1.\r\n"},
    {50, "The request is not supported.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1117, "The request could not be performed because of an I/O device error.\r\n"},
    {1300, "Not all privileges or groups referenced are assigned to the caller.\r\n"},
    {1313, "A specified privilege does not exist.\r\n"},
    {1812, "The specified image file did not contain a resource section.\r\n"},
    {1813, "The specified resource type cannot be found in the image file.\r\n"},
    {1815, "The specified resource language ID cannot be found in the image file.\r\n"},
};

}  // namespace

extern "C" DWORD FormatMessageA(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                                DWORD nSize, void*) {
    if (dwFlags != (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS) || lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwLanguageId != 0 && dwLanguageId != MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT)) {
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return 0;
    }
    for (const Message& row : kMessages) {
        if (row.code != dwMessageId) continue;
        size_t length = std::strlen(row.text);
        if (length >= nSize) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(lpBuffer, row.text, length + 1);
        return static_cast<DWORD>(length);
    }
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
}

// --- errno mapping -----------------------------------------------------------

namespace linuxapi {

DWORD ErrorFromErrno(int error) {
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP: return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
    case ESRCH: return ERROR_INVALID_PARAMETER;
    case EFAULT: return ERROR_NOACCESS;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EIO: return ERROR_IO_DEVICE;
    default: return ERROR_GEN_FAILURE;
    }
}

void SetLastErrorWithCause(DWORD code, int cause) {
    lastError = code;
    lastErrno = cause != 0 && ErrorFromErrno(cause) == code ? cause : 0;
}

void SetLastErrorFromErrno(int error) { SetLastErrorWithCause(ErrorFromErrno(error), error); }

int LastErrno() { return lastErrno; }

BOOL FailWithErrno(int error) {
    SetLastErrorFromErrno(error);
    return FALSE;
}

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

// --- handles -----------------------------------------------------------------

namespace {

constexpr int kMaxObjects = 64;
KernelObject objects[kMaxObjects];  // zero-initialised: all Free
// Held for a few instructions at a time, several times for every process a
// scan opens: a spin lock costs a tenth of a mutex there.
class SpinLock {
public:
    void lock() {
        while (flag_.test_and_set(std::memory_order_acquire)) {
        }
    }
    void unlock() { flag_.clear(std::memory_order_release); }

private:
    std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};
SpinLock objectsLock;

// Handle values look like Windows ones (multiples of 4, never NULL or -1) and
// carry a generation, so a stale handle does not reach a reused slot.
HANDLE EncodeHandle(int index, unsigned short generation) {
    uintptr_t value = (static_cast<uintptr_t>(generation) << 16) | (static_cast<uintptr_t>(index + 1) << 2);
    return reinterpret_cast<HANDLE>(value);
}

int DecodeHandle(HANDLE handle) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if ((value & 3) != 0 || value > 0xFFFFFFFFu) return -1;
    int index = static_cast<int>((value >> 2) & 0x3FFF) - 1;
    if (index < 0 || index >= kMaxObjects) return -1;
    const KernelObject& object = objects[index];
    if (object.kind == ObjectKind::Free || EncodeHandle(index, object.generation) != handle) return -1;
    return index;
}

}  // namespace

HANDLE InsertObject(ObjectKind kind, int procDir, int pidfd, pid_t pid) {
    std::lock_guard<SpinLock> guard(objectsLock);
    for (int i = 0; i < kMaxObjects; ++i) {
        KernelObject& object = objects[i];
        if (object.kind != ObjectKind::Free) continue;
        object.kind = kind;
        object.generation = static_cast<unsigned short>(object.generation + 1);
        object.procDir = procDir;
        object.pidfd = pidfd;
        object.pid = pid;
        object.data = nullptr;
        object.release = nullptr;
        return EncodeHandle(i, object.generation);
    }
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
}

HANDLE InsertSnapshot(void* data, void (*release)(void*)) {
    HANDLE handle = InsertObject(ObjectKind::Snapshot, -1, -1, 0);
    if (handle == nullptr) {
        release(data);
        return nullptr;
    }
    std::lock_guard<SpinLock> guard(objectsLock);
    KernelObject& object = objects[DecodeHandle(handle)];
    object.data = data;
    object.release = release;
    return handle;
}

bool LookupObject(HANDLE handle, ObjectKind kind, KernelObject* object) {
    std::lock_guard<SpinLock> guard(objectsLock);
    int index = DecodeHandle(handle);
    if (index < 0 || (kind != ObjectKind::Any && objects[index].kind != kind)) return false;
    *object = objects[index];
    return true;
}

int LiveObjectCount() {
    std::lock_guard<SpinLock> guard(objectsLock);
    int count = 0;
    for (const KernelObject& object : objects) count += object.kind != ObjectKind::Free;
    return count;
}

}  // namespace linuxapi

using linuxapi::KernelObject;
using linuxapi::ObjectKind;

namespace {

// pidfd_open's definite answers about an id: ESRCH, no such process; EINVAL
// (older kernels) or ENOENT (newer ones), not a thread-group leader, or a
// process being reaped at this very moment. Any other failure (ENOSYS before
// Linux 5.3 and under valgrind, EPERM from seccomp filters that predate the
// call, no descriptors left) says nothing about the id.
bool IsDefiniteAnswer(int error) { return error == ESRCH || error == EINVAL || error == ENOENT; }

// The error for an id that /proc does not show (or no longer shows): 87,
// what Windows reports for a process that does not exist, unless the process
// exists and /proc hides it from the caller (hidepid): then 5.
DWORD MissingProcessError(pid_t pid) {
    const long fd = syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        close(static_cast<int>(fd));
        return ERROR_ACCESS_DENIED;
    }
    if (IsDefiniteAnswer(errno)) return ERROR_INVALID_PARAMETER;
    return kill(pid, 0) == 0 || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER;
}

// `error` came from opening /proc/<pid> or a file in it.
DWORD UnopenableProcessError(int error, pid_t pid) {
    if (error == ESRCH) return ERROR_INVALID_PARAMETER;  // the held process has been reaped
    if (error == ENOENT) return MissingProcessError(pid);
    return linuxapi::ErrorFromErrno(error);
}

// The thread-group test without pidfd_open: the Tgid line of the status file.
DWORD CheckLeaderByStatus(int dir, pid_t pid) {
    const int fd = openat(dir, "status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return UnopenableProcessError(errno, pid);
    char text[4096];  // the line comes fourth, after a name of at most 64 bytes
    size_t length = 0;
    int error = 0;
    while (length < sizeof text) {
        const ssize_t n = read(fd, text + length, sizeof text - length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        length += static_cast<size_t>(n);
    }
    close(fd);
    if (error != 0) return UnopenableProcessError(error, pid);
    pid_t tgid = 0;
    if (!linuxapi::FindStatusTgid(text, length, &tgid)) return ERROR_INVALID_DATA;
    return tgid == pid ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

// Whether `pid` leads its thread group: /proc answers for thread ids too, but
// a thread is not a process. On success *pidfd is the process's pidfd, or -1.
DWORD CheckThreadGroupLeader(int dir, pid_t pid, int* pidfd) {
    const long fd = syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        *pidfd = static_cast<int>(fd);
        return ERROR_SUCCESS;
    }
    *pidfd = -1;
    if (IsDefiniteAnswer(errno)) return ERROR_INVALID_PARAMETER;
    return CheckLeaderByStatus(dir, pid);
}

}  // namespace

extern "C" {

HANDLE GetCurrentProcess(void) { return linuxapi::CurrentProcessPseudoHandle(); }
DWORD GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

HANDLE OpenProcess(DWORD, BOOL, DWORD dwProcessId) {
    // Ids beyond the kernel's range name no process, like 0.
    if (dwProcessId == 0 || dwProcessId > linuxapi::kMaxProcessId) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    char path[32] = "/proc/";
    path[6 + linuxapi::IdDigits(dwProcessId, path + 6)] = '\0';
    const pid_t pid = static_cast<pid_t>(dwProcessId);
    // Opened for reading, not as O_PATH: that applies hidepid's check now, so
    // a process the caller may not see fails here (EPERM, or ENOENT for
    // hidepid=invisible) instead of reading as empty later.
    const int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        const int cause = errno;
        linuxapi::SetLastErrorWithCause(UnopenableProcessError(cause, pid), cause);
        return nullptr;
    }
    int pidfd = -1;
    const DWORD error = CheckThreadGroupLeader(dir, pid, &pidfd);
    HANDLE handle = error == ERROR_SUCCESS ? linuxapi::InsertObject(ObjectKind::Process, dir, pidfd, pid) : nullptr;
    if (handle == nullptr) {
        close(dir);
        if (pidfd >= 0) close(pidfd);
        if (error != ERROR_SUCCESS) SetLastError(error);  // else InsertObject's stays
    }
    return handle;
}

BOOL GetHandleInformation(HANDLE hObject, LPDWORD lpdwFlags) {
    KernelObject object;
    if (!linuxapi::LookupObject(hObject, ObjectKind::Any, &object)) return linuxapi::Fail(ERROR_INVALID_HANDLE);
    if (lpdwFlags == nullptr) return linuxapi::Fail(ERROR_NOACCESS);
    *lpdwFlags = 0;
    return TRUE;
}

// STILL_ACTIVE while the process runs. A zombie, or a process already
// reaped, has exited: its code is the kernel's record (stat's last field),
// 0 when that is gone too.
BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    if (lpExitCode == nullptr) return linuxapi::Fail(ERROR_NOACCESS);
    int dir = AT_FDCWD;
    const char* path = "/proc/self/stat";
    if (hProcess != linuxapi::CurrentProcessPseudoHandle()) {
        KernelObject object;
        if (!linuxapi::LookupObject(hProcess, ObjectKind::Process, &object)) return linuxapi::Fail(ERROR_INVALID_HANDLE);
        dir = object.procDir;
        path = "stat";
        // A pidfd is readable once the whole thread group has exited (a
        // leader that called pthread_exit while its threads run is not):
        // a running process needs no read of its stat file.
        pollfd exited = {object.pidfd, POLLIN, 0};
        int ready;
        do {
            ready = object.pidfd >= 0 ? poll(&exited, 1, 0) : -1;
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            *lpExitCode = STILL_ACTIVE;
            return TRUE;
        }
    }
    char text[1024];  // 52 numbers after a name of at most 64 bytes
    ssize_t length = -1;
    const int fd = openat(dir, path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        do {
            length = read(fd, text, sizeof text - 1);
        } while (length < 0 && errno == EINTR);
        close(fd);
    }
    if (length < 0) {
        if (errno != ESRCH && errno != ENOENT) return linuxapi::FailWithErrno(errno);
        *lpExitCode = 0;  // reaped
        return TRUE;
    }
    text[length] = '\0';
    const char* p = std::strrchr(text, ')');  // the name may hold anything but ends before the last ')'
    if (p == nullptr || p[1] != ' ') return linuxapi::Fail(ERROR_INVALID_DATA);
    // The state is field 3, the thread count 20, the wait status 52.
    const auto field = [&](int number) {
        const char* at = p + 2;
        for (int i = 3; i < number && at != nullptr; ++i) {
            at = std::strchr(at, ' ');
            if (at != nullptr) ++at;
        }
        return at != nullptr ? std::strtoul(at, nullptr, 10) : 0ul;
    };
    // A leader that called pthread_exit is a zombie while its threads run on.
    if ((p[2] != 'Z' && p[2] != 'X') || field(20) > 1) {
        *lpExitCode = STILL_ACTIVE;
        return TRUE;
    }
    const unsigned long status = field(52);
    *lpExitCode = static_cast<DWORD>((status & 0x7F) != 0 ? status & 0x7F : (status >> 8) & 0xFF);
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
    if (hObject == linuxapi::CurrentProcessPseudoHandle()) return TRUE;  // closing it is a no-op, as on Windows
    int dir = -1, pidfd = -1;
    void* data = nullptr;
    void (*release)(void*) = nullptr;
    {
        std::lock_guard<linuxapi::SpinLock> guard(linuxapi::objectsLock);
        int index = linuxapi::DecodeHandle(hObject);
        if (index < 0) return linuxapi::Fail(ERROR_INVALID_HANDLE);
        KernelObject& object = linuxapi::objects[index];
        if (object.kind == ObjectKind::Process) {
            dir = object.procDir;
            pidfd = object.pidfd;
        }
        data = object.data;
        release = object.release;
        object.data = nullptr;
        object.release = nullptr;
        object.kind = ObjectKind::Free;
        object.procDir = -1;
        object.pidfd = -1;
    }
    if (dir >= 0) close(dir);
    if (pidfd >= 0) close(pidfd);
    if (release != nullptr) release(data);
    return TRUE;
}

// --- error mode --------------------------------------------------------------

namespace {
UINT errorMode = 0;
}

UINT SetErrorMode(UINT uMode) {
    UINT previous = errorMode;
    errorMode = uMode;
    return previous;
}

UINT GetErrorMode(void) { return errorMode; }

}  // extern "C"

// --- the program's own module ------------------------------------------------

extern "C" char __executable_start;  // linker-provided: where the program image begins

extern "C" {

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
    if (lpModuleName != nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);  // only the program itself is a module here
        return nullptr;
    }
    return &__executable_start;
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (hModule != nullptr && hModule != &__executable_start) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length < 0) {
        linuxapi::SetLastErrorFromErrno(errno);
        return 0;
    }
    if (static_cast<size_t>(length) >= sizeof path) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    if (nSize == 0 || lpFilename == nullptr) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // As on Windows: a path that does not fit is cut and terminated, and the
    // full buffer size is returned with ERROR_INSUFFICIENT_BUFFER.
    if (static_cast<size_t>(length) >= nSize) {
        std::memcpy(lpFilename, path, nSize - 1);
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, path, static_cast<size_t>(length));
    lpFilename[length] = '\0';
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(length);
}

}  // extern "C"
