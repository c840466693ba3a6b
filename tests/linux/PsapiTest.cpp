// The Linux layer's memory counters against real processes: touched and
// reserved memory, exited leaders, zombies, reaped and hidden processes.
#include <gtest/gtest.h>
#include <sched.h>
#include <linux/magic.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/ProcessMemory.h"
#include "platform/ProcessQuery.h"
#include "platform/ProcessView.h"
#include "platform/Win32.h"
#include "tests/support/Subprocess.h"

using testsupport::OpenDescriptors;

namespace {

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

}  // namespace

namespace {

// EnumProcesses fills at most `cb` bytes, says how many it wrote, and a full
// buffer is the caller's cue to ask again with more room.
TEST(ProcessList, WritesAtMostTheBufferAndSaysHowMuch) {
    const struct {
        DWORD room;  // entries offered
        bool full;   // whether the list must fill them
    } cases[] = {{0, true}, {1, true}, {3, true}, {1 << 16, false}};
    for (const auto& c : cases) {
        std::vector<DWORD> ids(c.room + 8, 0xDEADBEEF);
        DWORD needed = 12345;
        ASSERT_TRUE(EnumProcesses(ids.data(), c.room * sizeof(DWORD), &needed)) << c.room;
        EXPECT_LE(needed, c.room * sizeof(DWORD)) << c.room;
        EXPECT_EQ(needed == c.room * sizeof(DWORD), c.full) << c.room;
        for (size_t i = needed / sizeof(DWORD); i < ids.size(); ++i) ASSERT_EQ(ids[i], 0xDEADBEEFu) << c.room << " at " << i;
    }
}

// Out of descriptors, a snapshot fails whole with the reason: a list that
// came back short would read as processes that have gone. One descriptor
// beyond /proc's own is the first limit at which the list is whole.
TEST(ProcessList, SnapshotOutOfDescriptorsFailsInsteadOfComingBackShort) {
    for (const rlim_t spare : {1, 2}) {
        const pid_t child = fork();
        if (child == 0) {
            for (int fd = 3; fd < 1024; ++fd) close(fd);
            const rlimit low = {3 + spare, 3 + spare};
            if (setrlimit(RLIMIT_NOFILE, &low) != 0) _exit(10);
            HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
            if (snapshot == INVALID_HANDLE_VALUE) _exit(GetLastError() == ERROR_TOO_MANY_OPEN_FILES ? 1 : 11);
            PROCESSENTRY32 entry;
            entry.dwSize = sizeof entry;
            bool self = false;
            for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
                self = self || entry.th32ProcessID == static_cast<DWORD>(getpid());
            }
            _exit(self ? 0 : 12);
        }
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_EQ(WEXITSTATUS(status), spare == 1 ? 1 : 0) << spare << " spare";
    }
}

// The cgroup2 file system where systemd mounts it; "" when there is none.
std::string ControlGroupMount() {
    for (const char* path : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"}) {
        struct statfs info;
        if (statfs(path, &info) == 0 && info.f_type == CGROUP2_SUPER_MAGIC) return path;
    }
    return std::string();
}

// A control-group tree of the test's own, below the mount: "" when none.
std::string gTree;

// Every path that opens something closes it again, however often it runs;
// the control-group walk over a tree with sub-groups, one of them coming
// and going meanwhile (a group removed while it is read is gone, not an
// error).
TEST(ProcessList, NoPathLeavesADescriptorOpen) {
    testsupport::Child child({kMemhog, "1", "touch"});
    const DWORD pid = static_cast<DWORD>(child.Pid());
    std::ofstream("pidfile-descriptors") << pid << "\n";
    const std::string mount = getuid() == 0 ? ControlGroupMount() : std::string();
    const std::string tree = "/tleak" + std::to_string(getpid());
    std::vector<std::string> made;
    for (const char* sub : {"", "/a", "/a/b", "/a/b/c", "/d", "/d/e"}) {
        if (!mount.empty() && mkdir((mount + tree + sub).c_str(), 0755) == 0) made.push_back(mount + tree + sub);
    }
    if (made.size() == 6 && static_cast<bool>(std::ofstream(made[2] + "/cgroup.procs") << pid << std::flush)) gTree = tree;
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        const std::string comes = made.size() == 6 ? made[4] + "/f" : std::string();
        while (!comes.empty() && !stop) {
            if (mkdir(comes.c_str(), 0755) == 0) rmdir(comes.c_str());
        }
    });
    const struct {
        const char* path;
        bool (*run)(DWORD pid);
    } cases[] = {
        {"list", [](DWORD) { DWORD ids[4096], n = 0; return EnumProcesses(ids, sizeof ids, &n) != 0; }},
        {"name, exit code, counters", [](DWORD id) {
             HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
             char name[MAX_PATH];
             DWORD code = 0;
             PROCESS_MEMORY_COUNTERS c;
             const bool ok = h != nullptr && GetModuleBaseNameA(h, nullptr, name, sizeof name) > 0 &&
                             GetExitCodeProcess(h, &code) && code == STILL_ACTIVE &&
                             GetProcessMemoryInfo(h, &c, sizeof c);
             return CloseHandle(h) && ok;
         }},
        {"snapshot: the child, its parent and name", [](DWORD id) {
             HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
             PROCESSENTRY32 entry;
             entry.dwSize = sizeof entry;
             bool found = false;
             for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
                 found = found || (entry.th32ProcessID == id && entry.th32ParentProcessID == static_cast<DWORD>(getpid()) &&
                                   std::string(entry.szExeFile) == "memhog");
             }
             const bool ended = GetLastError() == ERROR_NO_MORE_FILES;
             return CloseHandle(snapshot) && found && ended;
         }},
        {"command line, full name, owner", [](DWORD id) {
             HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, id);
             std::string line;
             bool named = false, owned = false;
             platform::User user;
             user.uid = static_cast<uint32_t>(getuid());
             const bool ok = h != nullptr && platform::ReadCommandLine(h, &line) &&
                             line.size() > 14 && line.compare(line.size() - 14, 14, "memhog 1 touch") == 0 &&
                             platform::FullImageNameIs(h, "memhog", &named) && named &&
                             platform::ProcessOwnedBy(h, user, &owned) && owned;
             return CloseHandle(h) && ok;
         }},
        {"control group of every process", [](DWORD id) {
             std::vector<DWORD> pids;
             std::string reason;
             if (!platform::FindControlGroupProcesses("/", &pids, &reason)) return reason == "no control-group file system is mounted";
             return gTree.empty() || std::find(pids.begin(), pids.end(), id) != pids.end();
         }},
        {"control group with sub-groups", [](DWORD id) {
             std::vector<DWORD> pids;
             std::string reason;
             return gTree.empty() || (platform::FindControlGroupProcesses(gTree.c_str(), &pids, &reason) &&
                                      pids == std::vector<DWORD>{id});
         }},
        {"pidfile", [](DWORD) {
             char text[64];
             size_t length = 0;
             std::string reason;
             return platform::ReadRegularFile("pidfile-descriptors", text, sizeof text, &length, &reason) ==
                    platform::FileProblem::None;
         }},
    };
    for (const auto& c : cases) {
        const int descriptors = OpenDescriptors();
        int failed = 0;
        for (int i = 0; i < 200; ++i) failed += c.run(pid) ? 0 : 1;
        EXPECT_EQ(failed, 0) << c.path;
        EXPECT_EQ(OpenDescriptors(), descriptors) << c.path;
    }
    // Thousands of walks, so that some read the group that comes and goes
    // just as it is removed (about one read in 2,000 here).
    int failedWalks = 0;
    std::string reason;
    for (int i = 0; i < 20000 && !gTree.empty(); ++i) {
        std::vector<DWORD> pids;
        if (!platform::FindControlGroupProcesses(gTree.c_str(), &pids, &reason)) ++failedWalks;
    }
    EXPECT_EQ(failedWalks, 0) << reason;
    stop = true;
    churn.join();
    std::remove("pidfile-descriptors");
    if (!mount.empty()) std::ofstream(mount + "/cgroup.procs") << pid << std::flush;
    for (auto dir = made.rbegin(); dir != made.rend(); ++dir) rmdir(dir->c_str());
    EXPECT_TRUE(mount.empty() || !gTree.empty()) << "no control-group tree made below " << mount;
}

}  // namespace
