// Async-signal-safe calls only (lstat, unlink, open, write, fsync, close,
// rename): the alarm handler writes a timed-out check's file with them.
#include "platform/TextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

FileFailure Failed(FileStep step, int error, const char* temporary) {
    if (step != FileStep::Create) unlink(temporary);
    return FileFailure{step, static_cast<unsigned long>(error)};
}

}  // namespace

FileFailure ReplaceFileContent(const char* path, const char* temporary, const char* content, size_t length) {
    struct stat status;
    if (lstat(path, &status) == 0 && !S_ISREG(status.st_mode)) return FileFailure{FileStep::NotRegular, 0};
    // One left by an earlier run that had this pid; O_EXCL and O_NOFOLLOW
    // then keep a link planted in its place from being written through.
    unlink(temporary);
    const int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return Failed(FileStep::Create, errno, temporary);
    for (size_t done = 0; done < length;) {
        const ssize_t n = write(fd, content + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            close(fd);
            return Failed(FileStep::Write, error, temporary);
        }
        done += static_cast<size_t>(n);
    }
    // On the disk before the name points at it: after a crash the file is
    // the old one or the new one, not an empty one.
    if (fsync(fd) != 0 || close(fd) != 0) {
        const int error = errno;
        close(fd);
        return Failed(FileStep::Write, error, temporary);
    }
    if (rename(temporary, path) != 0) return Failed(FileStep::Rename, errno, temporary);
    return FileFailure{};
}

std::string FileErrorText(const FileFailure& failure) { return std::strerror(static_cast<int>(failure.error)); }

}  // namespace platform
