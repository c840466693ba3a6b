// Windows: the temporary file written and flushed, then MoveFileEx over the old one.
#include <cstring>

#include "platform/ErrorText.h"
#include "platform/TextFile.h"
#include "platform/Win32.h"

namespace platform {

namespace {

FileFailure Failed(FileStep step, const char* temporary) {
    const DWORD error = ::GetLastError();
    if (step != FileStep::Create) ::DeleteFileA(temporary);
    return FileFailure{step, error};
}

}  // namespace

FileFailure ReplaceFileContent(const char* path, const char* temporary, const char* content, size_t length) {
    // \\.\ names devices and pipes, which are never replaced.
    if (std::strncmp(path, "\\\\.\\", 4) == 0 || std::strncmp(path, "//./", 4) == 0) {
        return FileFailure{FileStep::NotRegular, 0};
    }
    const DWORD attributes = ::GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return FileFailure{FileStep::NotRegular, 0};
    }
    ::DeleteFileA(temporary);  // one left by an earlier run that had this pid
    HANDLE file = ::CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Failed(FileStep::Create, temporary);
    for (size_t done = 0; done < length;) {
        const DWORD chunk = length - done > 0x10000000 ? 0x10000000 : static_cast<DWORD>(length - done);
        DWORD written = 0;
        if (!::WriteFile(file, content + done, chunk, &written, nullptr) || written == 0) {
            if (written == 0 && ::GetLastError() == ERROR_SUCCESS) ::SetLastError(ERROR_WRITE_FAULT);
            const DWORD error = ::GetLastError();
            ::CloseHandle(file);  // before the delete: the handle shares nothing
            ::DeleteFileA(temporary);
            return FileFailure{FileStep::Write, error};
        }
        done += written;
    }
    if (!::FlushFileBuffers(file)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(file);
        ::DeleteFileA(temporary);
        return FileFailure{FileStep::Write, error};
    }
    ::CloseHandle(file);
    if (!::MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return Failed(FileStep::Rename, temporary);
    }
    return FileFailure{};
}

std::string FileErrorText(const FileFailure& failure) { return ErrorText(static_cast<DWORD>(failure.error)); }

}  // namespace platform
