// The plugin's words for the Linux layer's failures: strerror of the errno
// kept beside the Windows code, never the Windows text, with the hint that
// helps. Trelmark64 keeps the Windows texts (Kernel32Test pins them).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "platform/ErrorText.h"
#include "platform/Win32.h"
#include "platform/linux/Internal.h"
#include "windows/WindowsError.h"

namespace {

const std::string kPtrace = " (another user's process needs root or CAP_SYS_PTRACE)";
const std::string kUlimit = " (raise the limit: ulimit -n)";

// Each errno the layer meets gives its own words, also where several share
// one Windows code (EACCES and EPERM, EMFILE and ENFILE, EINVAL and ESRCH).
// A code set without an errno (the layer's own answers: a process that does
// not exist, one /proc hides, a full handle table) reads as the errno it
// stands for; a code no errno gives is unknown, never a Windows sentence.
TEST(ErrorText, SaysWhatStrerrorSaysForTheKeptErrnoOrTheCode) {
    const struct {
        int error;  // -1: `code` set without one
        DWORD code;
        std::string text;
    } cases[] = {
        {EACCES, 0, "Permission denied" + kPtrace},
        {EPERM, 0, "Operation not permitted" + kPtrace},
        {EMFILE, 0, "Too many open files" + kUlimit},
        {ENFILE, 0, "Too many open files in system (raise the system's limit: fs.file-max)"},
        {ESRCH, 0, "No such process"},
        {EINVAL, 0, "Invalid argument"},
        {EXDEV, 0, "Invalid cross-device link"},  // no Windows code of its own
        {-1, ERROR_ACCESS_DENIED, "Permission denied" + kPtrace},
        {-1, ERROR_TOO_MANY_OPEN_FILES, "Too many open files" + kUlimit},
        {-1, ERROR_INVALID_PARAMETER, "No such process"},
        {-1, ERROR_FILE_NOT_FOUND, "No such file or directory"},
        {-1, ERROR_NOT_ENOUGH_MEMORY, "Cannot allocate memory"},
        {-1, ERROR_INVALID_DATA, "Bad message"},
        {-1, ERROR_NOT_SUPPORTED, "Operation not supported"},
        {-1, ERROR_INVALID_HANDLE, "Bad file descriptor"},
        {-1, ERROR_GEN_FAILURE, "Input/output error"},
        {-1, ERROR_SUCCESS, "Success"},
        {-1, 0x1234, "Unknown error (0x1234)"},
    };
    for (const auto& c : cases) {
        if (c.error >= 0) linuxapi::FailWithErrno(c.error);
        if (c.error < 0) SetLastError(c.code);
        EXPECT_EQ(platform::LastErrorText(), c.text) << c.error << " " << c.code;
        EXPECT_EQ(platform::ErrorText(GetLastError()), c.text) << c.error << " " << c.code;
    }
}

// The kept errno belongs to the last error only: a later SetLastError, a
// cause the code does not come from, another code asked about or another
// thread never see it.
TEST(ErrorText, TheKeptErrnoNeverOutlivesItsCode) {
    linuxapi::FailWithErrno(EPERM);
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(platform::LastErrorText(), "Permission denied" + kPtrace);

    linuxapi::SetLastErrorWithCause(ERROR_ACCESS_DENIED, ENOENT);  // a process /proc hides
    EXPECT_EQ(linuxapi::LastErrno(), 0);
    EXPECT_EQ(platform::LastErrorText(), "Permission denied" + kPtrace);

    linuxapi::FailWithErrno(ENFILE);
    const DWORD taken = GetLastError();
    EXPECT_EQ(platform::ErrorText(ERROR_INVALID_PARAMETER), "No such process");
    EXPECT_EQ(platform::ErrorText(taken), "Too many open files in system (raise the system's limit: fs.file-max)");
    std::thread([] { EXPECT_EQ(platform::ErrorText(ERROR_TOO_MANY_OPEN_FILES), "Too many open files" + kUlimit); })
        .join();

    // Trelmark64's texts stay the Windows ones.
    linuxapi::FailWithErrno(EMFILE);
    EXPECT_EQ(Windows::GetLastErrorText(true), "The system cannot open the file");
    linuxapi::FailWithErrno(EACCES);
    EXPECT_EQ(Windows::GetLastErrorText(true), "Access is denied");
}

// The real calls keep the errno they failed with: out of descriptors,
// opening a process keeps EMFILE (whose words the table above pins).
TEST(ErrorText, OpenProcessOutOfDescriptorsKeepsEmfile) {
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowest = dup(0);
    ASSERT_GE(lowest, 0);
    close(lowest);
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId());
    const DWORD code = GetLastError();
    const int kept = linuxapi::LastErrno();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    if (process != nullptr) CloseHandle(process);
    EXPECT_EQ(process, nullptr);
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_TOO_MANY_OPEN_FILES));
    EXPECT_EQ(kept, EMFILE);
}

}  // namespace
