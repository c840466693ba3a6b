// What the system lets this process see: small files read without ever
// blocking, and the reasons a process list may not be the host's.
#pragma once

#include <cstddef>
#include <string>

#include "platform/Win32.h"

#ifdef _WIN32
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#endif

namespace platform {

enum class FileProblem { None, NotRegular, TooLarge, Unreadable };

// Reads the regular file at `path` into `buffer` (`*length` bytes) when it
// holds at most `size` bytes. Anything else (a FIFO, a directory, a device)
// is refused at once, never waited on. For Unreadable, `*reason` says why.
#ifdef _WIN32
inline FileProblem ReadRegularFile(const char* path, char* buffer, size_t size, size_t* length, std::string* reason) {
    struct _stat64 info;
    if (_stat64(path, &info) != 0) {
        *reason = std::strerror(errno);
        return FileProblem::Unreadable;
    }
    if ((info.st_mode & _S_IFMT) != _S_IFREG) return FileProblem::NotRegular;
    if (static_cast<unsigned long long>(info.st_size) > size) return FileProblem::TooLarge;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        *reason = std::strerror(errno);
        return FileProblem::Unreadable;
    }
    *length = std::fread(buffer, 1, size, file);
    const bool failed = std::ferror(file) != 0;
    *reason = std::strerror(errno);
    std::fclose(file);
    return failed ? FileProblem::Unreadable : FileProblem::None;
}

// Windows lists every process to every caller.
inline const char* ProcessListProblem() { return nullptr; }
inline std::string HiddenProcessesNote() { return std::string(); }
#else
FileProblem ReadRegularFile(const char* path, char* buffer, size_t size, size_t* length, std::string* reason);

// Why the process ids this process sees would name other processes (a /proc
// of another pid namespace); nullptr when they are its own.
const char* ProcessListProblem();

// When /proc hides other users' processes from this one (hidepid), the
// sentence that says so and how to see them; empty otherwise.
std::string HiddenProcessesNote();
#endif

}  // namespace platform
