#include "platform/ErrorText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux/Internal.h"

namespace platform {

namespace {

// The errno a code stands for when none was kept beside it: what the layer
// reports it for (a process that does not exist is ERROR_INVALID_PARAMETER,
// one that /proc hides ERROR_ACCESS_DENIED); 0 for codes no errno gives.
int ErrnoFor(DWORD code) {
    switch (code) {
    case ERROR_SUCCESS: return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_NO_MORE_FILES: return ENOENT;
    case ERROR_PATH_NOT_FOUND: return ENOTDIR;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
    case ERROR_INVALID_PARAMETER: return ESRCH;
    case ERROR_NOACCESS: return EFAULT;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_NOT_SUPPORTED: return EOPNOTSUPP;
    case ERROR_INSUFFICIENT_BUFFER: return ENOBUFS;
    case ERROR_INVALID_DATA: return EBADMSG;
    case ERROR_IO_DEVICE:
    case ERROR_GEN_FAILURE: return EIO;
    default: return -1;
    }
}

// What the user can do about `error`, or nullptr.
const char* Hint(int error) {
    switch (error) {
    case EACCES:
    case EPERM: return "another user's process needs root or CAP_SYS_PTRACE";
    case EMFILE: return "raise the limit: ulimit -n";
    case ENFILE: return "raise the system's limit: fs.file-max";
    default: return nullptr;
    }
}

}  // namespace

std::string ErrorText(DWORD code) {
    const int kept = code == ::GetLastError() ? linuxapi::LastErrno() : 0;
    const int error = kept != 0 ? kept : ErrnoFor(code);
    if (error < 0) {
        char unknown[64];
        std::snprintf(unknown, sizeof unknown, "Unknown error (0x%x)", static_cast<unsigned>(code));
        return unknown;
    }
    std::string text = std::strerror(error);
    if (const char* hint = Hint(error)) text = text + " (" + hint + ")";
    return text;
}

std::string LastErrorText() { return ErrorText(::GetLastError()); }

}  // namespace platform
