// The Linux platform layer against the real system: messages, the command
// line, handles, processes, counters and privileges.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sched.h>
#include <sys/capability.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "keel/Error.h"
#include "platform/ProcessMemory.h"
#include "platform/Win32.h"
#include "platform/linux/Internal.h"
#include "tests/support/Subprocess.h"
#include "windows/WindowsError.h"
#include "windows/WindowsProcess.h"
#include "windows/WindowsSecurity.h"
#include "windows/WindowsUtils2.h"

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

// The process's open descriptors (the count includes the listing's own).
int OpenDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    int count = 0;
    while (dir != nullptr && readdir(dir) != nullptr) ++count;
    if (dir != nullptr) closedir(dir);
    return count;
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

struct Counters {
    BOOL ok;
    DWORD error;
    PROCESS_MEMORY_COUNTERS_EX2 c;
    uint64_t pss;
};

// Both records that read smaps_rollup: the extended counters and the
// proportional set size.
Counters Measure(DWORD pid) {
    Counters r{};
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (h == nullptr) {
        r.error = GetLastError();
        return r;
    }
    r.ok = GetProcessMemoryInfo(h, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&r.c), sizeof r.c) &&
           platform::GetProcessProportionalSetSize(h, &r.pss);
    r.error = GetLastError();
    CloseHandle(h);
    return r;
}


const std::string kMemhog = TRELMARK_MEMHOG;
const std::string kExitedLeader = TRELMARK_EXITEDLEADER;

TEST(Counters, TouchedMemoryIsWorkingSetReservedIsOnlyPrivate) {
    testsupport::Child touched({kMemhog, "64", "touch"});
    testsupport::Child reserved({kMemhog, "256", "reserve"});
    const Counters t = Measure(static_cast<DWORD>(touched.Pid()));
    const Counters r = Measure(static_cast<DWORD>(reserved.Pid()));
    ASSERT_TRUE(t.ok);
    ASSERT_TRUE(r.ok);
    const SIZE_T mb = 1 << 20;
    EXPECT_GE(t.c.WorkingSetSize, 64 * mb);
    EXPECT_GE(t.c.PeakWorkingSetSize, t.c.WorkingSetSize);
    EXPECT_GE(t.c.PrivateUsage, 64 * mb);
    EXPECT_GE(r.c.PrivateUsage, 256 * mb);
    EXPECT_LT(r.c.WorkingSetSize, 32 * mb);
    EXPECT_EQ(r.c.PagefileUsage, r.c.PrivateUsage);
    EXPECT_EQ(r.c.PeakPagefileUsage, r.c.PrivateUsage);
    EXPECT_EQ(r.c.cb, sizeof r.c);
    // Touched pages are its own; reserved ones hold nothing.
    EXPECT_GE(std::min<uint64_t>(t.c.PrivateWorkingSetSize, t.pss), 64 * mb);
    EXPECT_LT(r.c.PrivateWorkingSetSize, 32 * mb);

    // The same figures the kernel and ps report for it.
    const long long rss = testsupport::StatusKilobytes(touched.Pid(), "VmRSS");
    EXPECT_EQ(t.c.WorkingSetSize, static_cast<SIZE_T>(rss) * 1024);
    const long long data = testsupport::StatusKilobytes(reserved.Pid(), "VmData");
    const long long stack = testsupport::StatusKilobytes(reserved.Pid(), "VmStk");
    EXPECT_EQ(r.c.PrivateUsage, static_cast<SIZE_T>(data + stack) * 1024);
    const testsupport::Result ps = testsupport::Run({"/bin/ps", "-o", "rss=", "-p", std::to_string(touched.Pid())});
    ASSERT_EQ(ps.status, 0) << ps.err;
    EXPECT_NEAR(static_cast<double>(t.c.WorkingSetSize) / 1024, std::stod(ps.out), 256.0);
}

TEST(Counters, ShortRecordsAndBadHandlesFail) {
    PROCESS_MEMORY_COUNTERS_EX c{};
    SetLastError(0);
    EXPECT_FALSE(GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&c), 71));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(GetProcessMemoryInfo(nullptr, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&c), sizeof c));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // The plain record is filled without the private usage beyond it.
    PROCESS_MEMORY_COUNTERS_EX plain{};
    plain.PrivateUsage = 7;
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&plain), 72));
    EXPECT_EQ(plain.cb, 72u);
    EXPECT_GT(plain.WorkingSetSize, 0u);
    EXPECT_EQ(plain.PrivateUsage, 7u);

    // Short of the whole extended record: the private working set is left as it was.
    PROCESS_MEMORY_COUNTERS_EX2 extended{};
    extended.PrivateWorkingSetSize = 7;
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&extended), 95));
    EXPECT_EQ(extended.cb, 80u);
    EXPECT_EQ(extended.PrivateWorkingSetSize, 7u);
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&extended), 96));
    EXPECT_EQ(extended.cb, 96u);
    EXPECT_GT(extended.PrivateWorkingSetSize, 0u);

    uint64_t pss = 7;
    EXPECT_FALSE(platform::GetProcessProportionalSetSize(nullptr, &pss));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(platform::GetProcessProportionalSetSize(GetCurrentProcess(), &pss));
    EXPECT_GT(pss, 0u);
}

TEST(Counters, OnlyWhatHasNoAddressSpaceReadsAsEmpty) {
    // A leader that has called pthread_exit while another thread runs on:
    // the process is alive, and its memory is the thread's.
    testsupport::Child exited({kExitedLeader, "32"});
    const int descriptors = OpenDescriptors();
    const pid_t thread = testsupport::OtherThread(exited.Pid());
    ASSERT_GT(thread, 0);
    const auto kernel = [&] {
        return std::make_pair(testsupport::StatusKilobytes(exited.Pid(), "VmRSS", thread),
                              testsupport::StatusKilobytes(exited.Pid(), "VmData", thread) +
                                  testsupport::StatusKilobytes(exited.Pid(), "VmStk", thread));
    };
    const auto before = kernel();
    const Counters e = Measure(static_cast<DWORD>(exited.Pid()));
    const auto after = kernel();
    ASSERT_TRUE(e.ok) << e.error;
    EXPECT_GE(e.c.WorkingSetSize, SIZE_T{32} << 20);
    // The thread's own figures, as the kernel showed them around the read (a
    // sanitizer's runtime may still be moving them by a page or two).
    const auto within = [](SIZE_T bytes, long long kb1, long long kb2) {
        return bytes >= static_cast<SIZE_T>(std::min(kb1, kb2) - 64) * 1024 &&
               bytes <= static_cast<SIZE_T>(std::max(kb1, kb2) + 64) * 1024;
    };
    EXPECT_TRUE(within(e.c.WorkingSetSize, before.first, after.first)) << e.c.WorkingSetSize;
    EXPECT_TRUE(within(e.c.PrivateUsage, before.second, after.second)) << e.c.PrivateUsage;
    // smaps_rollup refuses the leader itself (ESRCH): read through the thread too.
    EXPECT_GE(e.c.PrivateWorkingSetSize, SIZE_T{32} << 20);
    EXPECT_GE(e.pss, uint64_t{32} << 20);

    // A zombie: exited, not yet reaped.
    const pid_t zombie = fork();
    if (zombie == 0) _exit(0);
    ASSERT_GT(zombie, 0);
    for (int i = 0; i < 1000; ++i) {
        std::ifstream status("/proc/" + std::to_string(zombie) + "/status");
        std::string text((std::istreambuf_iterator<char>(status)), std::istreambuf_iterator<char>());
        if (text.find("State:\tZ") != std::string::npos) break;
        usleep(1000);
    }
    Counters z = Measure(static_cast<DWORD>(zombie));
    EXPECT_TRUE(z.ok) << z.error;
    EXPECT_EQ(z.c.WorkingSetSize + z.c.PrivateUsage + z.c.PrivateWorkingSetSize + z.pss, 0u);
    waitpid(zombie, nullptr, 0);

    std::string name;
    {
        std::ifstream kthreadd("/proc/2/status");
        std::getline(kthreadd, name);
    }
    if (name == "Name:\tkthreadd") {
        Counters k = Measure(2);
        EXPECT_TRUE(k.ok) << k.error;
        EXPECT_EQ(k.c.WorkingSetSize + k.c.PeakWorkingSetSize + k.c.PrivateUsage + k.c.PrivateWorkingSetSize + k.pss, 0u);
    }

    // Opened while alive, measured after it was reaped: zeros, never another process.
    testsupport::Child child({kMemhog, "32", "touch"});
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, static_cast<DWORD>(child.Pid()));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(child.Stop(), 0);
    PROCESS_MEMORY_COUNTERS_EX2 c{};
    c.WorkingSetSize = 99;
    EXPECT_TRUE(GetProcessMemoryInfo(h, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&c), sizeof c)) << GetLastError();
    uint64_t pss = 99;
    EXPECT_TRUE(platform::GetProcessProportionalSetSize(h, &pss)) << GetLastError();
    EXPECT_EQ(c.WorkingSetSize + c.PrivateUsage + c.PrivateWorkingSetSize + pss, 0u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

// What a process measures as, in words: "measured", "zeros" or "failed (code)".
std::string Outcome(HANDLE process) {
    PROCESS_MEMORY_COUNTERS c{};
    if (!GetProcessMemoryInfo(process, &c, sizeof c)) return "failed (" + std::to_string(GetLastError()) + ")";
    return c.WorkingSetSize > 0 ? "measured" : "zeros";
}

// In a child with /proc mounted hidepid=`mode` in a private mount namespace:
// root opens `target`, then the child becomes the unprivileged user 65534 and
// both opens it again and measures it through the handle root opened. Returns
// what it saw, or "setup: ..." when that cannot be arranged.
std::string SeenThroughHiddenProc(const std::string& mode, pid_t target) {
    int channel[2];
    if (pipe(channel) != 0) return "setup: pipe";
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        std::string seen;
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("proc", "/proc", "proc", 0, ("hidepid=" + mode).c_str()) != 0) {
            seen = std::string("setup: ") + std::strerror(errno);
        } else {
            HANDLE held = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(target));
            if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                setresuid(65534, 65534, 65534) != 0) {
                seen = "setup: cannot become user 65534";
            } else {
                HANDLE fresh = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(target));
                seen = "open: " + (fresh ? Outcome(fresh) : "refused (" + std::to_string(GetLastError()) + ")") +
                       ", held: " + (held ? Outcome(held) : "not opened");
            }
        }
        const bool written = write(channel[1], seen.data(), seen.size()) == static_cast<ssize_t>(seen.size());
        _exit(written ? 0 : 1);
    }
    close(channel[1]);
    std::string seen;
    char buffer[256];
    for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) seen.append(buffer, static_cast<size_t>(n));
    close(channel[0]);
    waitpid(child, nullptr, 0);
    return seen;
}

// hidepid hides other users' processes from the unprivileged: such a process
// is an access failure, also through a handle opened while it was visible,
// and never an empty process (what a reaped one is).
TEST(Counters, ProcessesHiddenByHidepidAreAccessFailures) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to mount /proc in a private mount namespace";
    testsupport::Child target({kMemhog, "4", "touch"});  // root's
    const struct {
        const char* mode;
        const char* seen;
    } cases[] = {
        {"off", "open: measured, held: measured"},  // any user may check any process
        {"invisible", "open: refused (5), held: failed (5)"},
        {"noaccess", "open: refused (5), held: failed (5)"},
        {"ptraceable", "open: refused (5), held: failed (5)"},
    };
    for (const auto& c : cases) {
        const std::string seen = SeenThroughHiddenProc(c.mode, target.Pid());
        if (seen.rfind("setup: ", 0) == 0) GTEST_SKIP() << "cannot mount /proc with hidepid here: " << seen;
        EXPECT_EQ(seen, c.seen) << c.mode;
    }
}

bool HoldsPtraceInPermittedSet() {
    cap_t caps = cap_get_proc();
    cap_flag_value_t value = CAP_CLEAR;
    cap_get_flag(caps, CAP_SYS_PTRACE, CAP_PERMITTED, &value);
    cap_free(caps);
    return value == CAP_SET;
}

// Runs EnableProcessPrivilege in a child (so the test's own token is left
// alone), optionally as the unprivileged user 65534, and returns its last
// error: 0 for success, the Windows code of the failure otherwise.
int PrivilegeResultInChild(bool unprivileged, const char* name) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (unprivileged && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                             setresuid(65534, 65534, 65534) != 0)) {
            _exit(250);
        }
        try {
            Windows::EnableProcessPrivilege(name, nullptr, true);
        } catch (const Keel::Error&) {
            _exit(GetLastError() == ERROR_NOT_ALL_ASSIGNED ? 13 : GetLastError() == ERROR_NO_SUCH_PRIVILEGE ? 14 : 15);
        }
        _exit(0);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

TEST(Privilege, DebugPrivilegeFollowsCapSysPtrace) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to compare a privileged and an unprivileged token";
    const int before = linuxapi::LiveObjectCount();
    EXPECT_EQ(PrivilegeResultInChild(false, "SeDebugPrivilege"), HoldsPtraceInPermittedSet() ? 0 : 13);
    EXPECT_EQ(PrivilegeResultInChild(true, "SeDebugPrivilege"), 13);  // held by nobody: not all assigned
    EXPECT_EQ(PrivilegeResultInChild(false, "SeNoSuchPrivilege"), 14);
    EXPECT_EQ(PrivilegeResultInChild(false, "SeShutdownPrivilege"), 13);  // no Linux counterpart
    EXPECT_EQ(linuxapi::LiveObjectCount(), before);
}

TEST(Privilege, TokensExistOnlyForTheCallingProcess) {
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    EXPECT_TRUE(CloseHandle(token));

    testsupport::Child other({kMemhog, "1", "reserve"});
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(other.Pid()));
    ASSERT_NE(process, nullptr);
    SetLastError(0);
    EXPECT_FALSE(OpenProcessToken(process, TOKEN_QUERY, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(process);

    LUID luid{};
    EXPECT_TRUE(LookupPrivilegeValueA(nullptr, "sedebugprivilege", &luid));
    EXPECT_EQ(luid.LowPart, 20u);
}

TEST(Privilege, DisablingAndEnablingChangesTheEffectiveSet) {
    if (!HoldsPtraceInPermittedSet()) GTEST_SKIP() << "CAP_SYS_PTRACE is not permitted here";
    const pid_t pid = fork();
    if (pid == 0) {
        auto effective = [] {
            cap_t caps = cap_get_proc();
            cap_flag_value_t value = CAP_CLEAR;
            cap_get_flag(caps, CAP_SYS_PTRACE, CAP_EFFECTIVE, &value);
            cap_free(caps);
            return value == CAP_SET;
        };
        Windows::EnableProcessPrivilege("SeDebugPrivilege", nullptr, false);
        const bool off = !effective();
        Windows::EnableProcessPrivilege("SeDebugPrivilege", nullptr, true);
        _exit(off && effective() ? 0 : 1);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);
}

}  // namespace
