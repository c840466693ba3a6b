// What the system lets this process see: small files read without ever
// blocking, and the reasons a process list may not be the host's.
#pragma once

#include <cstddef>
#include <string>

#include "platform/Win32.h"

#ifdef _WIN32
#include <cerrno>
#include <cstring>
#endif

namespace platform {

enum class FileProblem { None, NotRegular, TooLarge, Unreadable };

// Reads the regular file at `path` into `buffer` (`*length` bytes) when it
// holds at most `size` bytes. Anything else (a FIFO, a directory, a device)
// is refused at once, never waited on. For Unreadable, `*reason` says why.
#ifdef _WIN32
inline FileProblem ReadRegularFile(const char* path, char* buffer, size_t size, size_t* length, std::string* reason) {
    // Backup semantics open directories too, so that they are named as such.
    HANDLE file = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            *reason = std::strerror(ENOENT);
        } else if (error == ERROR_ACCESS_DENIED) {
            *reason = std::strerror(EACCES);
        } else {
            char text[256] = "";
            ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                             sizeof text, nullptr);
            *reason = text;
            while (!reason->empty() && (reason->back() == '\n' || reason->back() == '\r' || reason->back() == '.')) {
                reason->pop_back();
            }
        }
        return FileProblem::Unreadable;
    }
    FileProblem problem = FileProblem::None;
    BY_HANDLE_FILE_INFORMATION info;
    LARGE_INTEGER bytes;
    if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        problem = FileProblem::NotRegular;
    } else if (!::GetFileSizeEx(file, &bytes) || static_cast<unsigned long long>(bytes.QuadPart) > size) {
        problem = FileProblem::TooLarge;
    }
    *length = 0;
    while (problem == FileProblem::None && *length < size) {
        DWORD n = 0;
        if (!::ReadFile(file, buffer + *length, static_cast<DWORD>(size - *length), &n, nullptr)) {
            *reason = std::strerror(EIO);
            problem = FileProblem::Unreadable;
        }
        if (n == 0) break;
        *length += n;
    }
    ::CloseHandle(file);
    return problem;
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
