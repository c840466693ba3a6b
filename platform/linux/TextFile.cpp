// Async-signal-safe calls only (sigaction, lstat, unlink, open, write, fsync,
// close, rename): the alarm handler writes a timed-out check's file with them.
#include "platform/TextFile.h"

#include <fcntl.h>
#include <signal.h>
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
    // Past a file-size limit (ulimit -f) a write then fails with EFBIG,
    // instead of SIGXFSZ ending the check with the temporary file left.
    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, nullptr);
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
    // The descriptor is released whatever close says: closed once.
    const int synced = fsync(fd) == 0 ? 0 : errno;
    const int closed = close(fd) == 0 ? 0 : errno;
    if (synced != 0 || closed != 0) return Failed(FileStep::Write, synced != 0 ? synced : closed, temporary);
    if (rename(temporary, path) != 0) return Failed(FileStep::Rename, errno, temporary);
    return FileFailure{};
}

std::string FileErrorText(const FileFailure& failure) { return std::strerror(static_cast<int>(failure.error)); }

}  // namespace platform
