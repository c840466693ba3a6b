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
TEST(ErrorText, SaysWhatStrerrorSaysForTheKeptErrno) {
    const struct {
        int error;
        std::string text;
    } cases[] = {
        {EACCES, "Permission denied" + kPtrace},
        {EPERM, "Operation not permitted" + kPtrace},
        {EMFILE, "Too many open files" + kUlimit},
        {ENFILE, "Too many open files in system (raise the system's limit: fs.file-max)"},
        {ESRCH, "No such process"},
        {EINVAL, "Invalid argument"},
        {ENOENT, "No such file or directory"},
        {ELOOP, "Too many levels of symbolic links"},
        {ENOMEM, "Cannot allocate memory"},
        {EIO, "Input/output error"},
        {EXDEV, "Invalid cross-device link"},  // no Windows code of its own
    };
    for (const auto& c : cases) {
        EXPECT_EQ(linuxapi::FailWithErrno(c.error), FALSE);
        EXPECT_EQ(GetLastError(), linuxapi::ErrorFromErrno(c.error)) << c.error;
        EXPECT_EQ(platform::LastErrorText(), c.text) << c.error;
        EXPECT_EQ(platform::ErrorText(GetLastError()), c.text) << c.error;
    }
}

// A code set without an errno (the layer's own answers: a process that does
// not exist, one /proc hides, a full handle table) reads as the errno it
// stands for; a code no errno gives is unknown, never a Windows sentence.
TEST(ErrorText, CodesWithoutAnErrnoReadAsTheErrnoTheyStandFor) {
    const struct {
        DWORD code;
        std::string text;
    } cases[] = {
        {ERROR_ACCESS_DENIED, "Permission denied" + kPtrace},
        {ERROR_TOO_MANY_OPEN_FILES, "Too many open files" + kUlimit},
        {ERROR_INVALID_PARAMETER, "No such process"},
        {ERROR_FILE_NOT_FOUND, "No such file or directory"},
        {ERROR_NOT_ENOUGH_MEMORY, "Cannot allocate memory"},
        {ERROR_INVALID_DATA, "Bad message"},
        {ERROR_NOT_SUPPORTED, "Operation not supported"},
        {ERROR_INVALID_HANDLE, "Bad file descriptor"},
        {ERROR_GEN_FAILURE, "Input/output error"},
        {ERROR_SUCCESS, "Success"},
        {0x1234, "Unknown error (0x1234)"},
    };
    for (const auto& c : cases) {
        SetLastError(c.code);
        EXPECT_EQ(platform::LastErrorText(), c.text) << c.code;
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
// opening a process says so in Linux's words.
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
    const std::string text = platform::ErrorText(code);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    if (process != nullptr) CloseHandle(process);
    EXPECT_EQ(process, nullptr);
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_TOO_MANY_OPEN_FILES));
    EXPECT_EQ(kept, EMFILE);
    EXPECT_EQ(text, "Too many open files" + kUlimit);
}

}  // namespace
