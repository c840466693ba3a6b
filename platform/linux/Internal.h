// Internal to the Linux layer: the process-wide table behind HANDLE values,
// and the one mapping from errno to Windows error codes.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include <string>

#include "platform/Win32.h"

namespace linuxapi {

enum class ObjectKind : unsigned char { Free, Process, Token, Snapshot, Any /* lookups only */ };

struct KernelObject {
    ObjectKind kind;
    unsigned short generation;
    int procDir;  // Process: descriptor of the /proc/<pid> directory, bound to that one process
    int pidfd;    // Process: its pidfd, or -1 where pidfd_open is unavailable
    pid_t pid;    // Process: its id; Token: the process it belongs to
    void* data;   // Snapshot: its entries, freed by release when the handle closes
    void (*release)(void*);
};

// The decimal digits of `id` into `out` (room for 10): paths made once per
// process are written by hand, cheaper than snprintf. Returns how many.
inline size_t IdDigits(uint32_t id, char* out) {
    char reversed[10];
    size_t n = 0;
    for (; id != 0 && n < sizeof reversed; id /= 10) reversed[n++] = static_cast<char>('0' + id % 10);
    for (size_t i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
    return n;
}

// The pseudo handle that GetCurrentProcess returns, as on Windows.
inline HANDLE CurrentProcessPseudoHandle() { return INVALID_HANDLE_VALUE; }

// Returns NULL (last error ERROR_TOO_MANY_OPEN_FILES) when the table is full;
// the descriptors stay the caller's then.
HANDLE InsertObject(ObjectKind kind, int procDir, int pidfd, pid_t pid);

// Inserts a Snapshot that owns `data`; on failure `data` is released at once.
HANDLE InsertSnapshot(void* data, void (*release)(void*));

// Copies the live object behind `handle` of kind `kind` (or of any kind);
// false when there is none.
bool LookupObject(HANDLE handle, ObjectKind kind, KernelObject* object);

// Reads at most `limit` bytes of the file `path` (relative to `dir`) into
// `text`. Returns 0 or an errno value. O_NONBLOCK: a FIFO put where a
// system file belongs never waits.
int ReadBounded(int dir, const char* path, size_t limit, std::string* text);

// Number of live entries; tests use it to prove that nothing leaks.
int LiveObjectCount();

// One mount of /proc/self/mountinfo: where it is mounted (escapes undone),
// its file-system type and its super options.
struct Mount {
    std::string point;
    std::string type;
    std::string superOptions;
};

// Calls visit(mount) for each mount this process sees, in the order of
// mountinfo (a later mount on one point hides an earlier one). False when
// mountinfo cannot be read.
bool ForEachMount(void (*visit)(const Mount& mount, void* context), void* context);

// Windows error code for an errno value.
DWORD ErrorFromErrno(int error);

// The arguments joined into one line, each quoted so that the Windows
// command-line splitter gives it back unchanged. Writes at most `capacity`
// bytes, NUL included, and returns the full length.
size_t JoinCommandLine(int argc, char* const* argv, char* out, size_t capacity);

// Sets the last error to `code` and keeps `cause`, the errno it came from,
// beside it when `code` is what that errno maps to (else none is kept).
void SetLastErrorWithCause(DWORD code, int cause);
void SetLastErrorFromErrno(int error);

// The errno kept beside the last error, 0 when it came from none.
int LastErrno();

// Sets the last error from `error` and returns FALSE, for one-line failures.
BOOL FailWithErrno(int error);
BOOL Fail(DWORD code);

}  // namespace linuxapi
