// The Linux layer's kernel32 against the real system: messages, errors, the
// command line, handles and opening processes.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Win32.h"
#include "platform/linux/Internal.h"
#include "tests/support/Subprocess.h"
#include "windows/WindowsError.h"
#include "windows/WindowsUtils2.h"

using testsupport::OpenDescriptors;

namespace {

constexpr DWORD kFromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

TEST(FormatMessage, AnswersEveryCodeTheLayerProducesAsWindowsDoes) {
    const DWORD codes[] = {0, 2, 3, 4, 5, 6, 8, 13, 31, 50, 87, 122, 126, 206, 317, 998, 1117, 1300, 1313, 1812, 1813, 1815};
    for (DWORD code : codes) {
        char buffer[1024] = {};
        const DWORD n = FormatMessageA(kFromSystem, nullptr, code, 0x400, buffer, 1023, nullptr);
        ASSERT_GT(n, 2u) << code;
        EXPECT_EQ(n, std::strlen(buffer)) << code;
        EXPECT_STREQ(buffer + n - 3, ".\r\n") << code;
    }
    char buffer[64];
    FormatMessageA(kFromSystem, nullptr, 5, 0, buffer, sizeof buffer, nullptr);
    EXPECT_STREQ(buffer, "Access is denied.\r\n");
    EXPECT_EQ(Windows::GetErrorText(87, true), "The parameter is incorrect");
}

TEST(FormatMessage, FailuresSetTheirOwnCodes) {
    struct Case {
        DWORD flags, code, language, size, error;
    } const cases[] = {
        {kFromSystem, 0xDEAD, 0x400, 1023, ERROR_MR_MID_NOT_FOUND},
        {kFromSystem, 5, 0x400, 10, ERROR_INSUFFICIENT_BUFFER},
        {kFromSystem, 5, 0x407, 1023, ERROR_RESOURCE_LANG_NOT_FOUND},
        {FORMAT_MESSAGE_FROM_SYSTEM, 5, 0x400, 1023, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        char buffer[1024];
        SetLastError(0);
        EXPECT_EQ(FormatMessageA(c.flags, nullptr, c.code, c.language, buffer, c.size, nullptr), 0u) << c.code;
        EXPECT_EQ(GetLastError(), c.error) << c.code;
    }
}

// Every errno reaches the caller as a Windows code with a text, so a failure
// always prints a reason; the ones the layer meets map as Windows would put them.
TEST(ErrorFromErrno, MapsToWindowsCodesThatHaveTexts) {
    const struct {
        int error;
        DWORD code;
    } cases[] = {
        {0, ERROR_SUCCESS},
        {ENOENT, ERROR_FILE_NOT_FOUND},
        {ENOTDIR, ERROR_PATH_NOT_FOUND},
        {ELOOP, ERROR_PATH_NOT_FOUND},
        {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
        {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
        {EACCES, ERROR_ACCESS_DENIED},  // a file the caller may not read
        {EPERM, ERROR_ACCESS_DENIED},   // what hidepid=noaccess answers
        {EBADF, ERROR_INVALID_HANDLE},
        {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
        {EINVAL, ERROR_INVALID_PARAMETER},
        {ESRCH, ERROR_INVALID_PARAMETER},  // no such process
        {EFAULT, ERROR_NOACCESS},
        {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
        {ENOSYS, ERROR_NOT_SUPPORTED},
        {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
        {EIO, ERROR_IO_DEVICE},
        {EXDEV, ERROR_GEN_FAILURE},  // anything else
    };
    for (const auto& c : cases) EXPECT_EQ(linuxapi::ErrorFromErrno(c.error), c.code) << c.error;
    for (int error = 0; error < 134; ++error) {
        char text[512];
        EXPECT_GT(FormatMessageA(kFromSystem, nullptr, linuxapi::ErrorFromErrno(error), 0, text, sizeof text, nullptr), 0u)
            << error;
    }
}

// The host's physical memory is MemTotal, in bytes; a record of another
// size is refused as Windows refuses it.
TEST(GlobalMemoryStatusEx, IsMemTotal) {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    unsigned long long kb = 0;
    meminfo >> key >> kb;
    ASSERT_EQ(key, "MemTotal:");
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    ASSERT_TRUE(GlobalMemoryStatusEx(&status));
    EXPECT_EQ(status.ullTotalPhys, kb * 1024);
    status.dwLength = sizeof status - 1;
    EXPECT_FALSE(GlobalMemoryStatusEx(&status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(LastError, IsKeptPerThread) {
    SetLastError(5);
    std::thread([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(6);
    }).join();
    EXPECT_EQ(GetLastError(), 5u);
}

TEST(CommandLine, QuotesAsTheWindowsSplitterExpects) {
    struct Case {
        std::vector<std::string> args;
        const char* line;
    } const cases[] = {
        {{"prog", "1521", "3072", "-vm"}, "prog 1521 3072 -vm"},
        {{"prog", ""}, "prog \"\""},
        {{"my prog", "a b"}, "\"my prog\" \"a b\""},
        {{"p", "say \"hi\""}, "p \"say \\\"hi\\\"\""},
        {{"p", "C:\\dir\\"}, "p C:\\dir\\"},
        {{"p", "C:\\my dir\\"}, "p \"C:\\my dir\\\\\""},
        {{"p", "a\\\"b"}, "p \"a\\\\\\\"b\""},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv;
        for (const std::string& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
        char line[64];
        EXPECT_EQ(linuxapi::JoinCommandLine(static_cast<int>(argv.size()), argv.data(), line, sizeof line),
                  std::strlen(c.line));
        EXPECT_STREQ(line, c.line);
    }
    // A line that does not fit is cut and terminated; the full length is returned.
    std::string longArgument(100, 'x');
    char* argv[] = {&longArgument[0]};
    char cut[10];
    EXPECT_EQ(linuxapi::JoinCommandLine(1, argv, cut, sizeof cut), 100u);
    EXPECT_STREQ(cut, "xxxxxxxxx");
}

TEST(ErrorMode, FrameworkStartAddsTheTwoFlags) {
    SetErrorMode(0x0004);
    EXPECT_EQ(AfxWinInit(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), 0), TRUE);
    EXPECT_EQ(GetErrorMode(), 0x8005u);
}

TEST(Handles, LiveUntilClosedAndNeverClosedTwice) {
    const int before = linuxapi::LiveObjectCount();
    const int descriptors = OpenDescriptors();
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(linuxapi::LiveObjectCount(), before + 1);
    EXPECT_GT(OpenDescriptors(), descriptors);  // the handle holds the process
    PROCESS_MEMORY_COUNTERS counters;
    EXPECT_TRUE(GetProcessMemoryInfo(h, &counters, sizeof counters));
    EXPECT_TRUE(Windows::IsValidHandle(h));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(Windows::IsValidHandle(h));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // The slot is reused, but the stale handle does not reach the new object.
    HANDLE again = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId());
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, h);
    EXPECT_FALSE(Windows::IsValidHandle(h));
    EXPECT_TRUE(CloseHandle(again));
    EXPECT_EQ(linuxapi::LiveObjectCount(), before);
    EXPECT_EQ(OpenDescriptors(), descriptors);

    for (HANDLE bogus : {static_cast<HANDLE>(nullptr), reinterpret_cast<HANDLE>(0x13), reinterpret_cast<HANDLE>(0x4000)}) {
        DWORD flags;
        EXPECT_FALSE(GetHandleInformation(bogus, &flags));
        EXPECT_FALSE(CloseHandle(bogus));
    }
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));  // a no-op, as on Windows
}

TEST(OpenProcessTest, RefusesWhatIsNotAProcess) {
    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    std::thread thread([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        while (!done) std::this_thread::yield();
    });
    while (tid == 0) std::this_thread::yield();

    std::ifstream maxFile("/proc/sys/kernel/pid_max");
    long pidMax = 0;
    maxFile >> pidMax;
    const DWORD ids[] = {0, static_cast<DWORD>(tid.load()), static_cast<DWORD>(pidMax + 1), 4294967291u, 0x7FFFFFFFu};
    const int descriptors = OpenDescriptors();
    for (DWORD id : ids) {
        SetLastError(0);
        EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, id), nullptr) << id;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << id;
        EXPECT_EQ(OpenDescriptors(), descriptors) << id;
    }
    done = true;
    thread.join();
}

}  // namespace
