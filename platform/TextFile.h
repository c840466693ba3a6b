// Replacing a small file whole, for readers that may look at any moment
// (Prometheus' textfile collectors): they see the old file or the new one,
// never part of one. Each system does it with its own calls
// (linux/TextFile.cpp, TextFileWin32.cpp).
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// The step that failed, and the system's error code for it (errno on Linux,
// GetLastError() on Windows).
enum class FileStep { None, NotRegular, Create, Write, Rename };
struct FileFailure {
    FileStep step = FileStep::None;
    unsigned long error = 0;
};

// Refuses a `path` that exists and is not a regular file (a directory, a
// FIFO, a device, a symbolic link: left alone, never opened); otherwise
// creates `temporary` anew (mode 0644 less the umask on Linux; the
// directory's inherited rights on Windows), writes `content`, flushes it to
// the disk and renames it over `path`. On failure `temporary` is removed and
// `path` is as it was. On Linux it uses only calls that are safe in a
// signal handler, so the watchdog can write a file too.
FileFailure ReplaceFileContent(const char* path, const char* temporary, const char* content, size_t length);

// The system's text for the failure's error code.
std::string FileErrorText(const FileFailure& failure);

}  // namespace platform
