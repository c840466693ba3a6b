// check_trelmark as an engine runs it: real processes, the figures the
// kernel reports, exact status lines, exit codes 0-3 and nothing on stderr.
#include <gtest/gtest.h>
#include <regex.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cstdio>
#include <memory>
#include <fstream>
#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "check/BuildDate.h"
#include "tests/support/Subprocess.h"

namespace {

const std::string kPlugin = TRELMARK_PLUGIN;
const std::string kMemhog = TRELMARK_MEMHOG;
const std::string kNoPidfd = TRELMARK_NOPIDFD;
constexpr long long kMB = 1048576;
const std::string kNeedsPtrace = " (another user's process needs root or CAP_SYS_PTRACE)\n";
const char kUsage[] =
    "Usage: check_trelmark -p PID, -f PIDFILE or any of -C NAME, -a TEXT, --ereg-argument-array REGEX, -u USER, "
    "--service NAME, --cgroup PATH [--children] [-m working, private, pss, uss, peak, swap, anon, cgroup, "
    "cgroup-workingset or cgroup-peak] [-w RANGE] [-c RANGE] [--processes-warning RANGE] [--processes-critical RANGE] "
    "[--sum] [--empty-state STATE] [-t SECONDS] [-v] [--format=prometheus or --textfile=PATH] [--label NAME=VALUE] "
    "[--per-process]\n";

// What every answer must be, whatever the case: a state 0-3, a first line
// that carries it, a second line only for UNKNOWN, nothing on stderr.
testsupport::Result Plugin(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kPlugin};
    argv.insert(argv.end(), args.begin(), args.end());
    const testsupport::Result r = testsupport::Run(argv);
    EXPECT_GE(r.status, 0);
    EXPECT_LE(r.status, 3);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(r.out.empty());
    EXPECT_NE(r.out[0], '\n');
    EXPECT_EQ(r.out.back(), '\n');
    const size_t lines = static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n'));
    static const char* const kStates[] = {"MEMORY OK - ", "MEMORY WARNING - ", "MEMORY CRITICAL - ", "MEMORY UNKNOWN - "};
    const bool aboutTheProgram = r.out.rfind("check_trelmark ", 0) == 0;  // --help, --version
    if (r.status >= 0 && r.status <= 3 && !aboutTheProgram) {
        EXPECT_EQ(r.out.rfind(kStates[r.status], 0), 0u) << r.out;
        EXPECT_TRUE(lines == 1 || (lines == 2 && r.status == 3)) << r.out;
    }
    return r;
}

std::string TempPath(const std::string& name) { return ::testing::TempDir() + "trelmark-plugin-" + name; }

// `program` copied under `name` into a directory every user may enter.
std::string CopyAs(const std::string& program, const std::string& name) {
    const std::string dir = TempPath(name);
    std::filesystem::create_directories(dir);
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                                          std::filesystem::perms::others_exec);
    std::filesystem::copy_file(program, dir + "/" + name, std::filesystem::copy_options::overwrite_existing);
    return dir + "/" + name;
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

long long Kilobytes(pid_t pid, bool privateMemory) {
    return privateMemory ? testsupport::StatusKilobytes(pid, "VmData") + testsupport::StatusKilobytes(pid, "VmStk")
                         : testsupport::StatusKilobytes(pid, "VmRSS");
}

// The bytes the plugin reported under `label`, which must lie within the
// kernel's figures read before and after the run: a sanitizer's runtime
// lets a target's memory drift a little, so the bracket has some slack.
uint64_t ReportedBytes(const std::string& out, const std::string& label, long long kbBefore, long long kbAfter) {
    const size_t at = out.find("| " + label + "=");
    if (at == std::string::npos) {
        ADD_FAILURE() << "no " << label << " figure in: " << out;
        return 0;
    }
    const uint64_t bytes = std::stoull(out.substr(at + label.size() + 3));
    constexpr long long kSlackKb = 1024;
    EXPECT_GE(static_cast<long long>(bytes / 1024), std::min(kbBefore, kbAfter) - kSlackKb) << out;
    EXPECT_LE(static_cast<long long>(bytes / 1024), std::max(kbBefore, kbAfter) + kSlackKb) << out;
    return bytes;
}

std::string Bytes(long long megabytes) { return std::to_string(megabytes * kMB); }
std::string N(long long n) { return std::to_string(n); }

// Every range form, two MB or more away from the figure, so the drift
// above cannot change the state. (The exact boundaries are unit-tested.)
struct Threshold {
    const char* name;
    std::vector<std::string> (*args)(long long mb);  // for a process of `mb` MB
    std::string (*perf)(long long mb);              // the expected ";warn;crit" part
    int state;
    std::string (*note)(long long mb);  // the bound the figure crossed, beside it
};

std::string NoNote(long long) { return std::string(); }

const Threshold kThresholds[] = {
    {"None", [](long long) { return std::vector<std::string>{}; }, [](long long) { return std::string(";;"); }, 0, NoNote},
    {"WarnAbove", [](long long mb) { return std::vector<std::string>{"-w", N(mb - 2), "-c", N(mb + 100)}; },
     [](long long mb) { return ";" + Bytes(mb - 2) + ";" + Bytes(mb + 100); }, 1, [](long long mb) { return " (warning above " + N(mb - 2) + " MB)"; }},
    {"NotAbove", [](long long mb) { return std::vector<std::string>{"-w", N(mb + 2)}; },
     [](long long mb) { return ";" + Bytes(mb + 2) + ";"; }, 0, NoNote},
    {"CriticalWins", [](long long mb) { return std::vector<std::string>{"-w", N(mb - 2), "-c", N(mb - 2)}; },
     [](long long mb) { return ";" + Bytes(mb - 2) + ";" + Bytes(mb - 2); }, 2, [](long long mb) { return " (critical above " + N(mb - 2) + " MB)"; }},
    {"LowerEndMet", [](long long mb) { return std::vector<std::string>{"-c", N(mb - 2) + ":"}; },
     [](long long mb) { return ";;" + Bytes(mb - 2) + ":"; }, 0, NoNote},
    {"LowerEndMissed", [](long long mb) { return std::vector<std::string>{"-c", N(mb + 2) + ":"}; },
     [](long long mb) { return ";;" + Bytes(mb + 2) + ":"; }, 2, [](long long mb) { return " (critical below " + N(mb + 2) + " MB)"; }},
    {"NoLowerEnd", [](long long mb) { return std::vector<std::string>{"--warning=~:" + N(mb - 2)}; },
     [](long long mb) { return ";~:" + Bytes(mb - 2) + ";"; }, 1, [](long long mb) { return " (warning above " + N(mb - 2) + " MB)"; }},
    {"InsideBand", [](long long mb) { return std::vector<std::string>{"-w", N(mb - 2) + ":" + N(mb + 2)}; },
     [](long long mb) { return ";" + Bytes(mb - 2) + ":" + Bytes(mb + 2) + ";"; }, 0, NoNote},
    {"OutsideBand", [](long long mb) { return std::vector<std::string>{"-w", N(mb + 2) + ":" + N(mb + 5)}; },
     [](long long mb) { return ";" + Bytes(mb + 2) + ":" + Bytes(mb + 5) + ";"; }, 1, [](long long mb) { return " (warning below " + N(mb + 2) + " MB)"; }},
    {"InvertedHit", [](long long mb) { return std::vector<std::string>{"-c", "@" + N(mb - 2) + ":" + N(mb + 2)}; },
     [](long long mb) { return ";;@" + Bytes(mb - 2) + ":" + Bytes(mb + 2); }, 2, [](long long mb) { return " (critical from " + N(mb - 2) + " MB to " + N(mb + 2) + " MB)"; }},
    {"InvertedMiss", [](long long mb) { return std::vector<std::string>{"-c", "@" + N(mb + 2) + ":" + N(mb + 4)}; },
     [](long long mb) { return ";;@" + Bytes(mb + 2) + ":" + Bytes(mb + 4); }, 0, NoNote},
    {"Fraction", [](long long mb) { return std::vector<std::string>{"-w", N(mb - 3) + ".5"}; },
     [](long long mb) { return ";" + N((mb - 3) * kMB + kMB / 2) + ";"; }, 1, [](long long mb) { return " (warning above " + N(mb - 3) + ".5 MB)"; }},
};

void PrintTo(const Threshold& t, std::ostream* os) { *os << t.name; }

class Thresholds : public ::testing::TestWithParam<Threshold> {};

// The text shows the kernel's figure in whole MB; the state follows the
// range forms, compared in bytes as the performance data carries them.
TEST_P(Thresholds, StateTextAndPerformanceDataFromTheKernelsFigures) {
    const Threshold& t = GetParam();
    testsupport::Child target({kMemhog, "40", "touch"});
    const long long before = Kilobytes(target.Pid(), false);
    const long long mb = before / 1024;
    ASSERT_GE(mb, 40);
    std::vector<std::string> args = {"-p", std::to_string(target.Pid())};
    const std::vector<std::string> more = t.args(mb);
    args.insert(args.end(), more.begin(), more.end());
    const testsupport::Result r = Plugin(args);
    const uint64_t bytes = ReportedBytes(r.out, "working", before, Kilobytes(target.Pid(), false));
    static const char* const kNames[] = {"OK", "WARNING", "CRITICAL"};
    EXPECT_EQ(r.out, std::string("MEMORY ") + kNames[t.state] + " - memhog (pid " + std::to_string(target.Pid()) +
                         ") uses " + std::to_string(bytes >> 20) + " MB of working memory" + t.note(mb) +
                         " | working=" + std::to_string(bytes) + "B" + t.perf(mb) + ";0;\n");
    EXPECT_EQ(r.status, t.state);
}

INSTANTIATE_TEST_SUITE_P(Ranges, Thresholds, ::testing::ValuesIn(kThresholds),
                         [](const ::testing::TestParamInfo<Threshold>& info) { return std::string(info.param.name); });

TEST(PluginMetric, PrivateMemoryCountsWhatIsReservedButUntouched) {
    testsupport::Child target({kMemhog, "300", "reserve"});
    const std::string pid = std::to_string(target.Pid());
    const long long before = Kilobytes(target.Pid(), true);
    ASSERT_GE(before / 1024, 300);
    testsupport::Result r = Plugin({"-p", pid, "-m", "private", "-c", "299"});
    const uint64_t bytes = ReportedBytes(r.out, "private", before, Kilobytes(target.Pid(), true));
    EXPECT_EQ(r.out, "MEMORY CRITICAL - memhog (pid " + pid + ") uses " + std::to_string(bytes >> 20) +
                         " MB of private memory (critical above 299 MB) | private=" + std::to_string(bytes) + "B;;" +
                         Bytes(299) + ";0;\n");
    EXPECT_EQ(r.status, 2);
    r = Plugin({"-p", pid, "--metric=working", "-c", "299"});  // the working set stays small
    EXPECT_EQ(r.status, 0) << r.out;
}

pid_t ReapedPid() {
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    return gone;
}

TEST(PluginPidfile, GoodMissingEmptyGarbageAndStale) {
    testsupport::Child target({kMemhog, "8", "touch"});
    const std::string pid = std::to_string(target.Pid());
    const std::string stale = std::to_string(ReapedPid());
    const std::string dir = TempPath("dir");
    std::filesystem::create_directories(dir);
    const struct {
        const char* name;
        bool create;
        std::string content;
        int status;
        std::string out;  // "{f}" stands for the file's path
    } cases[] = {
        {"good", true, pid + "\n", 0, "MEMORY OK - memhog (pid " + pid + ") uses "},
        {"crlf", true, pid + "\r\n", 0, "MEMORY OK - memhog (pid " + pid + ") uses "},
        {"bare", true, pid, 0, "MEMORY OK - memhog (pid " + pid + ") uses "},
        {"missing", false, "", 3, "MEMORY UNKNOWN - cannot read pidfile {f}: No such file or directory\n"},
        {"empty", true, "", 3, "MEMORY UNKNOWN - pidfile {f} is empty\n"},
        {"garbage", true, "postgres\n", 3, "MEMORY UNKNOWN - pidfile {f} does not hold a process id\n"},
        {"blanks", true, " " + pid + " \n\n", 0, "MEMORY OK - memhog (pid " + pid + ") uses "},
        {"postmaster", true, pid + "\n/var/lib/postgresql/16/main\n1733735291\n5432\n", 0,
         "MEMORY OK - memhog (pid " + pid + ") uses "},
        {"trailing", true, pid + "x\n", 3, "MEMORY UNKNOWN - pidfile {f} does not hold a process id\n"},
        {"largest", true, pid + "\n" + std::string(4096 - pid.size() - 1, '#'), 0, "MEMORY OK - memhog (pid " + pid + ") uses "},
        {"huge", true, std::string(4097, '1'), 3, "MEMORY UNKNOWN - pidfile {f} is too large to hold a process id\n"},
        {"stale", true, stale + "\n", 3,
         "MEMORY UNKNOWN - no process with pid " + stale + " (from pidfile {f})\n"},
    };
    for (const auto& c : cases) {
        const std::string path = TempPath(std::string("pidfile-") + c.name);
        std::filesystem::remove(path);
        if (c.create) WriteFile(path, c.content);
        const testsupport::Result r = Plugin({"-f", path, "-w", "100000"});
        std::string expected = c.out;
        if (expected.find("{f}") != std::string::npos) expected.replace(expected.find("{f}"), 3, path);
        if (c.status == 0) {
            EXPECT_EQ(r.out.rfind(expected, 0), 0u) << c.name << ": " << r.out;
        } else {
            EXPECT_EQ(r.out, expected) << c.name;
        }
        EXPECT_EQ(r.status, c.status) << c.name;
    }
    const testsupport::Result directory = Plugin({"-f", dir});
    EXPECT_EQ(directory.out, "MEMORY UNKNOWN - cannot read pidfile " + dir + ": not a regular file\n");
    EXPECT_EQ(directory.status, 3);
}

// A check that hangs (a pidfile on a file system that never answers) ends in
// UNKNOWN when the timeout says, not later.
TEST(PluginTimeout, AnswersUnknownWhenTheCheckHangs) {
    const std::string path = TempPath("hung.pid");
    WriteFile(path, "1\n");
    for (int seconds : {1, 2}) {
        const auto start = std::chrono::steady_clock::now();
        const testsupport::Result r = testsupport::Run({TRELMARK_HANGOPEN, kPlugin, "-f", path, "-t", std::to_string(seconds)});
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r.out, "MEMORY UNKNOWN - timed out after " + std::to_string(seconds) + " s\n") << r.err;
        EXPECT_EQ(r.status, 3);
        EXPECT_GE(took, std::chrono::seconds(seconds));
        // Far below the default of 10 s; loaded sanitizer runs start late.
        EXPECT_LT(took, std::chrono::seconds(seconds) + std::chrono::milliseconds(1500));
    }
}

// A pidfile that is no regular file (a FIFO without writer would block a
// plain open) is refused at once, long before the timeout.
TEST(PluginTimeout, OddPidfilesAnswerAtOnce) {
    const std::string fifo = TempPath("fifo");
    std::filesystem::remove(fifo);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        const auto start = std::chrono::steady_clock::now();
        const testsupport::Result r = Plugin({"-f", path, "-t", "5"});
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << path;
        EXPECT_EQ(r.out, "MEMORY UNKNOWN - cannot read pidfile " + path + ": not a regular file\n");
        EXPECT_EQ(r.status, 3);
    }
}

std::set<std::string> Pgrep(const std::string& name) {
    const testsupport::Result r = testsupport::Run({"/usr/bin/pgrep", "-x", name});
    std::set<std::string> pids;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) pids.insert(line);
    return pids;
}

// Several processes of one name, under a name no other test uses.
class NamedProcesses : public ::testing::Test {
protected:
    void SetUp() override {
        name_ = "tmh" + std::to_string(getpid());
        path_ = CopyAs(kMemhog, name_);
        for (const char* mb : {"4", "40", "20"}) {
            children_.push_back(std::make_unique<testsupport::Child>(std::vector<std::string>{path_, mb, "touch"}));
        }
    }
    std::string name_, path_;
    std::vector<std::unique_ptr<testsupport::Child>> children_;
};

TEST_F(NamedProcesses, EachComparedOrTheirSumAsPgrepFindsThem) {
    std::vector<long long> kb;
    std::set<std::string> pids;
    for (const auto& child : children_) {
        kb.push_back(Kilobytes(child->Pid(), false));
        pids.insert(std::to_string(child->Pid()));
    }
    ASSERT_EQ(Pgrep(name_), pids);  // the same processes pgrep -x sees
    const pid_t largest = children_[1]->Pid();
    const long long totalKb = kb[0] + kb[1] + kb[2];
    // Between the middle and the largest: exactly one process warns, far
    // from both figures.
    const long long warn = (kb[2] + kb[1]) / 2048;
    const std::string head = "3 processes named " + name_;
    const std::string perfTail = ";0; processes=3;;;0;\n";

    testsupport::Result r = Plugin({"-C", name_, "-w", N(warn), "-c", "100000"});
    uint64_t bytes = ReportedBytes(r.out, "working", kb[1], Kilobytes(largest, false));
    EXPECT_EQ(r.out, "MEMORY WARNING - " + head + ", largest pid " + std::to_string(largest) + " uses " +
                         std::to_string(bytes >> 20) + " MB of working memory (1 warning; warning above " + N(warn) +
                         " MB) | working=" +
                         std::to_string(bytes) + "B;" + Bytes(warn) + ";" + Bytes(100000) + perfTail);
    EXPECT_EQ(r.status, 1);

    const long long below = totalKb / 1024 - 5;
    r = Plugin({"-C", name_, "--sum", "-w", "1", "-c", N(below)});
    bytes = ReportedBytes(r.out, "working", totalKb, totalKb);
    const size_t largestAt = r.out.find(", largest pid " + std::to_string(largest) + " with ");
    ASSERT_NE(largestAt, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(0, largestAt), "MEMORY CRITICAL - " + head + " use " + std::to_string(bytes >> 20) +
                                              " MB of working memory in total (critical above " + N(below) + " MB)");
    EXPECT_NE(r.out.find(" MB | working=" + std::to_string(bytes) + "B;" + Bytes(1) + ";" + Bytes(below) + perfTail),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.status, 2);

    r = Plugin({"-C", name_, "--sum", "-c", N(totalKb / 1024 + 5)});
    EXPECT_EQ(r.status, 0) << r.out;

    // A process of the name that has gone is no longer counted.
    const pid_t first = children_.front()->Pid();
    children_.front().reset();
    pids.erase(std::to_string(first));
    ASSERT_EQ(Pgrep(name_), pids);
    r = Plugin({"-C", name_});
    EXPECT_NE(r.out.find("MEMORY OK - 2 processes named " + name_ + ", largest pid " + std::to_string(largest)),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(" processes=2;;;0;\n"), std::string::npos) << r.out;
}

TEST_F(NamedProcesses, NamesMatchExactlyAndNoMatchIsUnknown) {
    for (const std::string& other : {name_.substr(0, name_.size() - 1), name_ + "x", "T" + name_.substr(1)}) {
        const testsupport::Result r = Plugin({"-C", other});
        EXPECT_EQ(r.out, "MEMORY UNKNOWN - no process named " + other + "\n");
        EXPECT_EQ(r.status, 3);
    }
}

// A figure just above its bound is shown above it, with the decimals that
// takes, and the bound beside it.
TEST(PluginThresholds, AFigureJustAboveItsBoundIsShownAboveIt) {
    for (const char* mb : {"40", "41", "42"}) {
        testsupport::Child target({kMemhog, mb, "touch"});
        const std::string pid = std::to_string(target.Pid());
        const testsupport::Result first = Plugin({"-p", pid});
        const uint64_t bytes = ReportedBytes(first.out, "working", Kilobytes(target.Pid(), false), Kilobytes(target.Pid(), false));
        if (bytes % kMB == 0) continue;  // a whole MB: no bound lies just below it
        const long long bound = static_cast<long long>(bytes / kMB);
        // As few decimals as show it above the bound (the last one never 0).
        uint64_t scale = 10;
        while (bytes * scale / kMB <= bound * scale) scale *= 10;
        const std::string decimals = std::to_string(bytes * scale / kMB % scale + scale).substr(1);
        const testsupport::Result r = Plugin({"-p", pid, "-w", N(bound)});
        EXPECT_EQ(r.out, "MEMORY WARNING - memhog (pid " + pid + ") uses " + N(bound) + "." + decimals +
                             " MB of working memory (warning above " + N(bound) + " MB) | working=" +
                             std::to_string(bytes) + "B;" + Bytes(bound) + ";;0;\n");
        EXPECT_EQ(r.status, 1);
        return;
    }
    FAIL() << "three working sets of whole MB";
}

long long RollupKb(pid_t pid, const char* key) {
    return testsupport::ProcKilobytes("/proc/" + std::to_string(pid) + "/smaps_rollup", key);
}

// A forking server: a parent that touched 200 MB and four children that
// share its pages. Only the proportional figures add up to what they hold.
TEST(PluginMetric, ProportionalMemoryAddsUpAcrossAForkedProgram) {
    const std::string name = "shr" + std::to_string(getpid());
    testsupport::Child parent({CopyAs(TRELMARK_SHAREHOG, name), "200", "4"});
    const std::set<std::string> pids = Pgrep(name);
    ASSERT_EQ(pids.size(), 5u);
    const auto kernelPss = [&] {
        long long kb = 0;
        for (const std::string& pid : pids) kb += RollupKb(std::stoi(pid), "Pss");
        return kb;
    };
    const long long before = kernelPss();
    testsupport::Result r = Plugin({"-C", name, "--sum", "-m", "pss", "-c", "150"});
    const long long after = kernelPss();
    const uint64_t pss = ReportedBytes(r.out, "pss", before, after);
    EXPECT_NEAR(static_cast<double>(pss) / 1024, static_cast<double>(before + after) / 2, 0.05 * before);
    EXPECT_EQ(r.status, 2) << r.out;

    r = Plugin({"-C", name, "--sum"});
    const size_t at = r.out.find("| working=");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_GT(std::stoull(r.out.substr(at + 10)), 4 * pss) << r.out;  // every shared page once per process

    // The unique figure is the kernel's private pages, clean and dirty, to
    // the byte, for idle processes: the parent's few written since its forks;
    // a program of its own, whose text no other process maps (private clean
    // pages, once written back); and a process right after a fork, with none at all (the
    // kernel's writes to glibc's rseq area would give it one).
    const std::string own = CopyAs(kMemhog, "own" + std::to_string(getpid()));
    ASSERT_EQ(testsupport::Run({"/bin/sync", own}).status, 0);  // its page cache written back: clean
    testsupport::Child hog({own, "3", "touch"});
    testsupport::Child still({"/usr/bin/env", "GLIBC_TUNABLES=glibc.pthread.rseq=0", TRELMARK_SHAREHOG, "4", "0", "still"});
    std::string forked;
    for (int i = 0; i < 500 && forked.empty(); ++i, usleep(10000)) {
        std::ifstream children("/proc/" + std::to_string(still.Pid()) + "/task/" + std::to_string(still.Pid()) + "/children");
        children >> forked;
    }
    ASSERT_FALSE(forked.empty());
    EXPECT_GT(RollupKb(hog.Pid(), "Private_Clean"), 0);
    const std::pair<std::string, std::string> rows[] = {
        {std::to_string(parent.Pid()), name}, {std::to_string(hog.Pid()), "own" + std::to_string(getpid())}, {forked, "sharehog"}};
    for (const auto& [pid, comm] : rows) {
        const auto kernelUss = [&] { return RollupKb(std::stoi(pid), "Private_Clean") + RollupKb(std::stoi(pid), "Private_Dirty"); };
        const long long kb = kernelUss();
        r = Plugin({"-p", pid, "-m", "uss", "-w", "20"});
        ASSERT_EQ(kernelUss(), kb) << pid;  // idle: the figure held still
        const std::string tail = " of unique memory | uss=" + std::to_string(kb * 1024) + "B;" + Bytes(20) + ";;0;\n";
        EXPECT_EQ(r.out.rfind("MEMORY OK - " + comm + " (pid " + pid + ") uses ", 0), 0u) << r.out;
        EXPECT_EQ(r.out.size() > tail.size() ? r.out.substr(r.out.size() - tail.size()) : r.out, tail);
        EXPECT_EQ(r.status, 0) << r.out;
    }
    EXPECT_EQ(RollupKb(std::stoi(forked), "Private_Dirty") + RollupKb(std::stoi(forked), "Private_Clean"), 0);
}

// A process that grew and shrank: the working set forgets, the peak does not.
TEST(PluginMetric, PeakRemembersWhatWasFreed) {
    testsupport::Child shrunk({TRELMARK_SHAREHOG, "100", "0", "shrink"});
    const std::string pid = std::to_string(shrunk.Pid());
    const long long hwm = testsupport::StatusKilobytes(shrunk.Pid(), "VmHWM");
    testsupport::Result r = Plugin({"-p", pid, "-m", "peak", "-c", "99"});
    const uint64_t peak = ReportedBytes(r.out, "peak", hwm, testsupport::StatusKilobytes(shrunk.Pid(), "VmHWM"));
    EXPECT_EQ(r.out, "MEMORY CRITICAL - sharehog (pid " + pid + ") uses " + std::to_string(peak >> 20) +
                         " MB of peak working memory (critical above 99 MB) | peak=" + std::to_string(peak) + "B;;" +
                         Bytes(99) + ";0;\n");
    EXPECT_EQ(r.status, 2);
    r = Plugin({"-p", pid, "-c", "99"});
    EXPECT_EQ(r.status, 0) << r.out;
}

// The heap a leak grows and what the kernel swapped out, as status shows
// them: -m anon is RssAnon, -m swap is VmSwap (0 kB where no swap is on).
TEST(PluginMetric, AnonymousAndSwappedMemoryAsStatusShowsThem) {
    testsupport::Child target({kMemhog, "30", "touch"});
    const pid_t id = target.Pid();
    const std::string pid = std::to_string(id);
    for (const bool anon : {true, false}) {
        const char* const metric = anon ? "anon" : "swap";
        const char* const key = anon ? "RssAnon" : "VmSwap";
        // memhog holds still, but a sanitizer's own threads may still touch a
        // page now and then, and the kernel may move one: a check that gives
        // the figure read just before and after it is looked for, and compared.
        const auto expected = [&](long long kb) {
            // No swap here: 0 kB, below 1 MB.
            const std::string shown = kb >= 1024 ? N(kb / 1024) + " MB" : N(kb) + " kB";
            return std::string(anon ? "MEMORY CRITICAL" : "MEMORY OK") + " - memhog (pid " + pid + ") uses " + shown + " of " +
                   (anon ? "resident anonymous memory (critical above 29 MB)" : "swapped-out memory") + " | " + metric + "=" +
                   N(kb * 1024) + "B;;" + Bytes(29) + ";0;\n";
        };
        long long before = 0, after = -1;
        testsupport::Result r;
        for (int attempt = 0; attempt < 20 && (before != after || r.out != expected(before)); ++attempt) {
            before = testsupport::StatusKilobytes(id, key);
            r = Plugin({"-p", pid, "-m", metric, "-c", "29"});
            after = testsupport::StatusKilobytes(id, key);
        }
        ASSERT_EQ(before, after) << key;
        EXPECT_EQ(r.out, expected(before));
    }
    EXPECT_GE(testsupport::StatusKilobytes(id, "RssAnon"), 30 * 1024);
}

// pss and uss need the right to inspect the process: without it another
// user's process is never OK; with CAP_SYS_PTRACE it is measured, given to
// the agent (ambient) or to the plugin's file (permitted only: the plugin
// raises it itself, through the debug privilege).
TEST(PluginMetric, AnotherUsersProcessNeedsTheRightToInspectIt) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to run processes as two other users";
    const std::string name = "usr" + std::to_string(getpid());
    const std::string as65534 = "--reuid=65534", as65533 = "--reuid=65533";
    testsupport::Child target({"/usr/bin/setpriv", as65534, "--regid=65534", "--clear-groups",
                               CopyAs(kMemhog, name), "8", "touch"});
    const std::string pid = std::to_string(target.Pid());
    const std::string plugin = CopyAs(kPlugin, "check_trelmark"), capped = CopyAs(kPlugin, "capped");
    ASSERT_EQ(testsupport::Run({"/sbin/setcap", "cap_sys_ptrace+p", capped}).status, 0);
    const std::vector<std::string> unprivileged = {"/usr/bin/setpriv", as65533, "--regid=65533", "--clear-groups"};
    const struct {
        std::vector<std::string> how;  // setpriv's further options, then the program
        std::vector<std::string> args;
        int status;
        std::string out;  // the start of the line
    } cases[] = {
        {{plugin}, {"-p", pid, "-m", "pss"}, 3,
         "MEMORY UNKNOWN - cannot read the proportional memory of pid " + pid + ": Permission denied" + kNeedsPtrace},
        {{plugin}, {"-p", pid, "-m", "uss"}, 3,
         "MEMORY UNKNOWN - cannot read the unique memory of pid " + pid + ": Permission denied" + kNeedsPtrace},
        {{plugin}, {"-p", pid, "-m", "peak"}, 0, "MEMORY OK - " + name + " (pid " + pid + ") uses "},  // status needs no right
        {{"--inh-caps=+sys_ptrace", "--ambient-caps=+sys_ptrace", plugin}, {"-p", pid, "-m", "pss"}, 0,
         "MEMORY OK - " + name + " (pid " + pid + ") uses "},
        {{capped}, {"-p", pid, "-m", "uss"}, 0, "MEMORY OK - " + name + " (pid " + pid + ") uses "},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = unprivileged;
        argv.insert(argv.end(), c.how.begin(), c.how.end());
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const testsupport::Result r = testsupport::Run(argv);
        EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << c.how.back() << " " << c.args[3] << ": " << r.out << r.err;
        EXPECT_EQ(r.status, c.status) << r.out;
    }
}

TEST(PluginProcesses, NoSuchProcessThreadsAndHostileNames) {
    const std::string gone = std::to_string(ReapedPid());
    testsupport::Result r = Plugin({"-p", gone});
    EXPECT_EQ(r.out, "MEMORY UNKNOWN - no process with pid " + gone + "\n");
    EXPECT_EQ(r.status, 3);

    // A thread is not a process; a process whose main thread has exited is
    // measured through the thread that holds its memory.
    testsupport::Child leaderless({TRELMARK_EXITEDLEADER, "32"});
    const std::string tid = std::to_string(testsupport::OtherThread(leaderless.Pid()));
    r = Plugin({"-p", tid});
    EXPECT_EQ(r.out, "MEMORY UNKNOWN - no process with pid " + tid + "\n");
    r = Plugin({"-p", std::to_string(leaderless.Pid()), "-c", "31"});  // above 31 MB, not 0
    EXPECT_EQ(r.out.rfind("MEMORY CRITICAL - exitedleader (pid " + std::to_string(leaderless.Pid()) + ") uses ", 0), 0u)
        << r.out;
    EXPECT_EQ(r.status, 2) << r.out;

    // A command name may hold any byte; the status line stays one line and
    // its performance data stays parseable.
    const std::string dir = TempPath("hostile");
    std::filesystem::create_directories(dir);
    const std::string name = "a|b\tc";
    std::filesystem::copy_file(kMemhog, dir + "/" + name, std::filesystem::copy_options::overwrite_existing);
    testsupport::Child target({dir + "/" + name, "1", "reserve"});
    const std::string pid = std::to_string(target.Pid());
    r = Plugin({"-p", pid});
    EXPECT_EQ(r.out.rfind("MEMORY OK - a?b?c (pid " + pid + ") uses ", 0), 0u) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '|'), 1) << r.out;
    r = Plugin({"-C", name});
    EXPECT_EQ(r.out.rfind("MEMORY OK - 1 process named a?b?c: pid " + pid + " uses ", 0), 0u) << r.out;
}

// Children that only sleep, under `name`, killed and reaped on the way out.
// They share this process's memory, so no page tables are copied and
// thousands start in a fraction of a second (forks took 1 ms each); each
// runs on a stack of its own and makes raw system calls only.
__attribute__((no_sanitize_address)) int Sleep(void* name) {
    syscall(SYS_prctl, PR_SET_NAME, name, 0, 0, 0);
    for (;;) syscall(SYS_ppoll, nullptr, 0, nullptr, nullptr, 0);
}

struct Sleepers {
    static constexpr size_t kStack = 16384;
    Sleepers(const std::string& name, int count) : name_(name), stacks_(kStack * static_cast<size_t>(count)) {
        for (int i = 0; i < count; ++i) {
            const pid_t pid = clone(Sleep, stacks_.data() + kStack * static_cast<size_t>(i + 1), CLONE_VM | SIGCHLD,
                                    &name_[0]);
            if (pid < 0) break;
            pids.push_back(pid);
        }
        // Each names itself once it runs: a check started before would miss it.
        for (pid_t pid : pids) {
            for (int i = 0; i < 1000 && ReadLine("/proc/" + std::to_string(pid) + "/comm") != name_.substr(0, 15); ++i) usleep(5000);
        }
    }
    ~Sleepers() {
        for (pid_t pid : pids) kill(pid, SIGKILL);
        for (pid_t pid : pids) waitpid(pid, nullptr, 0);
    }
    std::vector<pid_t> pids;

private:
    std::string name_;
    std::vector<char> stacks_;
};

// Thousands of processes of one name are all counted, past any first guess
// at the list's size; with few descriptors, each is closed before the next
// (with and without pidfds): a leak would end the scan early.
TEST(PluginScale, ThousandsOfProcessesAndFewDescriptors) {
    const std::string name = "scl" + std::to_string(getpid());
    const struct {
        int count;
        const char* limit;
        bool pidfd;
    } cases[] = {{3000, "1024", true}, {300, "64", true}, {300, "64", false}};
    for (const auto& c : cases) {
        Sleepers sleepers(name, c.count);
        ASSERT_EQ(sleepers.pids.size(), static_cast<size_t>(c.count));
        std::vector<std::string> argv = {"/bin/sh", "-c", std::string("ulimit -n ") + c.limit + " && exec \"$@\"", "sh"};
        if (!c.pidfd) argv.push_back(kNoPidfd);
        for (const std::string& arg : {kPlugin, std::string("-C"), name}) argv.push_back(arg);
        const testsupport::Result r = testsupport::Run(argv);
        EXPECT_NE(r.out.find(" processes=" + std::to_string(c.count) + ";;;0;\n"), std::string::npos)
            << c.count << " under ulimit -n " << c.limit << ": " << r.out << r.err;
        EXPECT_EQ(r.status, 0) << r.out;
    }
}

// A zombie holds no memory and is no running process; nor is the plugin
// itself one of the processes it looks for.
TEST(PluginProcesses, ZombiesAndTheCheckItselfAreNotSelected) {
    const std::string name = "zmb" + std::to_string(getpid());
    const pid_t zombie = fork();
    if (zombie == 0) {
        prctl(PR_SET_NAME, name.c_str());
        _exit(0);
    }
    ASSERT_GT(zombie, 0);
    siginfo_t info;
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOWAIT), 0);  // exited, not reaped
    testsupport::Result r = Plugin({"-C", name});
    EXPECT_EQ(r.out, "MEMORY UNKNOWN - no process named " + name + "\n");
    r = Plugin({"-p", std::to_string(zombie)});
    EXPECT_EQ(r.out, "MEMORY UNKNOWN - the process with pid " + std::to_string(zombie) + " has exited\n");
    EXPECT_EQ(r.status, 3);
    waitpid(zombie, nullptr, 0);

    const std::string self = "slf" + std::to_string(getpid());
    r = testsupport::Run({CopyAs(kPlugin, self), "-C", self});
    EXPECT_EQ(r.out, "MEMORY UNKNOWN - no process named " + self + "\n");
}

// The pids of -v's lines, one for each process measured.
std::set<std::string> VerbosePids(const std::string& out) {
    std::set<std::string> pids;
    for (size_t at = out.find('\n'); (at = out.find(" (pid ", at)) != std::string::npos; at += 6) {
        pids.insert(out.substr(at + 6, out.find(')', at) - at - 6));
    }
    return pids;
}

// --children: a tree of three generations (a shell, its memhog and a shell
// with a memhog of its own); never the check, its parent shell, a sibling
// check or a shell that runs one, though all descend from the process named.
TEST(PluginProcesses, ChildrenSelectAThreeGenerationTreeWithoutTheChecks) {
    const std::string name = "tre" + std::to_string(getpid());
    const std::string program = CopyAs(kMemhog, name);
    testsupport::Child top({"/bin/sh", "-c",
                            // Background jobs' stdin is /dev/null: they get the test's pipe as 3.
                            "exec 3<&0; echo $$; \"$0\" 8 touch <&3 & /bin/sh -c '\"$0\" 4 touch <&3 & wait' \"$0\" & wait",
                            program});
    const std::string root = std::to_string(top.Pid());
    for (int i = 0; i < 200 && Pgrep(name).size() < 2; ++i) usleep(25000);
    const std::set<std::string> memhogs = Pgrep(name);
    ASSERT_EQ(memhogs.size(), 2u);
    // The memhogs and their parents (status's "PPid:" line): the top shell and the one between.
    std::set<std::string> tree = memhogs;
    for (const std::string& pid : memhogs) tree.insert(N(testsupport::ProcKilobytes("/proc/" + pid + "/status", "PPid")));
    ASSERT_EQ(tree.size(), 4u);
    ASSERT_EQ(tree.count(root), 1u);

    // From a pid file (the text names the pid it holds); -v adds a line for each process.
    const std::string pidfile = TempPath("tree-" + root + ".pid");
    WriteFile(pidfile, root + "\n");
    testsupport::Result r = testsupport::Run({kPlugin, "-f", pidfile, "--children", "-v", "--processes-critical", "4:4"});
    std::remove(pidfile.c_str());
    EXPECT_EQ(r.out.rfind("MEMORY OK - pid " + root + " with descendants: 4 processes, largest pid ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find(" processes=4;;4:4;0;\n"), std::string::npos) << r.out;
    EXPECT_EQ(VerbosePids(r.out), tree) << r.out;
    EXPECT_EQ(r.status, 0);
    // The memhogs have no children of their own.
    r = testsupport::Run({kPlugin, "-C", name, "--children", "-v"});
    EXPECT_EQ(r.out.rfind("MEMORY OK - processes named " + name + " with descendants: 2 processes, largest pid ", 0), 0u)
        << r.out;
    EXPECT_EQ(VerbosePids(r.out), memhogs);

    // Run below this test: its descendants are the tree, a sibling check,
    // a shell running another, the check's shell and the check itself.
    Sleepers sibling("check_trelmark", 1);
    testsupport::Child siblingShell({"/bin/sh", "-c", "echo $$; read x; : /usr/lib/nagios/plugins/check_trelmark -C " + name});
    const std::string self = std::to_string(getpid());
    // Under a name of its own, so that only the parent rule leaves its shell out.
    const std::string renamed = CopyAs(kPlugin, "tck" + self);
    r = testsupport::Run({"/bin/sh", "-c", "\"$0\" -p \"$1\" --children -v; :", renamed, self});
    std::set<std::string> expected = tree;
    expected.insert(self);
    EXPECT_EQ(VerbosePids(r.out), expected) << r.out;
    EXPECT_EQ(r.out.rfind("MEMORY OK - pid " + self + " with descendants: 5 processes, ", 0), 0u) << r.out;
}

// A /proc that is not this process's view: another pid namespace's (no
// process id would be right), or one that hides other users' processes,
// either way hidepid does: then finding none proves nothing, whatever
// --empty-state says, and a total of those found is only a lower bound.
// Unprivileged too: user namespaces stand in for root.
TEST(PluginProcesses, ProcOfAnotherNamespaceOrHidingIsUnknownWithTheReason) {
    if (testsupport::Run({"/usr/bin/unshare", "-r", "/bin/true"}).status != 0) GTEST_SKIP() << "no user namespaces here";
    // A memhog of the namespace's root, hidden from the user the check runs
    // as; "own" starts one of that user's too.
    const auto hidden = [](const std::string& hidepid, bool own, const std::vector<std::string>& args) {
        const auto start = [](const char* memhog) {
            return std::string("{ sleep 60 | \"") + memhog + "\" 1 touch >/dev/null & } && until pgrep -x memhog >/dev/null; do sleep 0.05; done";
        };
        std::vector<std::string> argv = {
            "/usr/bin/unshare", "-r", "-m", "-p", "-f", "--mount-proc", "/bin/sh", "-c",
            "m=$1 inner=$2 && shift 2 && mount -o remount,hidepid=" + hidepid + ",gid=4242 /proc && " + start("$m") +
                " && exec /usr/bin/unshare -r --map-user=1 --map-group=1 /bin/sh -c \"$inner\" \"$m\" \"$@\"",
            "sh", kMemhog, own ? start("$0") + " && exec \"$@\"" : "exec \"$@\"", kPlugin};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    };
    const std::string note = "/proc hides other users' processes (mounted with hidepid=";
    const struct {
        std::vector<std::string> argv;
        int status;
        std::string out;       // the start of the line
        std::string contains;  // and further on
    } cases[] = {
        {{"/usr/bin/unshare", "-r", "-p", "-f", kPlugin, "-p", "1"}, 3,
         "MEMORY UNKNOWN - /proc belongs to another pid namespace (/proc/self is not this process): its process ids "
         "would name other processes; mount a /proc of this namespace\n", ""},
        {hidden("invisible", false, {"-C", "nosuchdaemon"}), 3,
         "MEMORY UNKNOWN - no process named nosuchdaemon; " + note + "invisible): add the agent's user to the group of "
         "the mount's gid= option (", ""},
        {hidden("invisible", false, {"-C", "memhog", "--empty-state", "ok"}), 3,
         "MEMORY UNKNOWN - no process named memhog; " + note + "invisible)", ""},
        {hidden("noaccess", false, {"-C", "memhog", "--empty-state=ok"}), 3,
         "MEMORY UNKNOWN - no process named memhog; " + note + "noaccess)", ""},
        {hidden("invisible", true, {"-C", "memhog", "--empty-state=ok"}), 0, "MEMORY OK - 1 process named memhog: pid ",
         " of working memory; " + note + "invisible): "},
        {hidden("invisible", true, {"-C", "memhog", "--sum", "-c", "0.5"}), 2,
         "MEMORY CRITICAL - 1 process named memhog uses at least ", " of working memory in total (critical above 0.5 MB); " + note + "invisible): "},
        {hidden("invisible", true, {"-C", "memhog", "--sum", "-c", "1000"}), 3,
         "MEMORY UNKNOWN - 1 process named memhog found, but the total is only a lower bound: " + note + "invisible): ", ""},
    };
    for (const auto& c : cases) {
        const testsupport::Result r = testsupport::Run(c.argv);
        EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << r.out << r.err;
        EXPECT_NE(r.out.find(c.contains), std::string::npos) << r.out;
        EXPECT_EQ(r.status, c.status) << r.out;
    }
}

TEST(PluginCommandLine, BadArgumentsHelpAndVersion) {
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{}, "MEMORY UNKNOWN - no process given: use -p PID, -f PIDFILE or any of -C NAME, -a TEXT, "
             "--ereg-argument-array REGEX, -u USER, --service NAME, --cgroup PATH\n" + std::string(kUsage)},
        {{"-p", "1", "-w", "x"}, "MEMORY UNKNOWN - invalid warning range \"x\"\n" + std::string(kUsage)},
        {{"-C", "sixteen-chars-xx"}, "MEMORY UNKNOWN - no process named sixteen-chars-xx\n"},  // longer than comm
        {{"-p", "1", "-a", "x"},
         "MEMORY UNKNOWN - -p and -f name one process: they combine with none of -C, -a, --ereg-argument-array, -u, "
         "--service and --cgroup\n" + std::string(kUsage)},
        {{"--ereg-argument-array", "a{1"}, "MEMORY UNKNOWN - invalid regular expression \"a{1\": Unmatched \\{\n"},
        // What is echoed of a long value: its first 157 bytes, never part of a character, and "...".
        {{"-a", std::string(156, 'x') + "\xC3\xA9-" + std::string(1000, 'x')},
         "MEMORY UNKNOWN - no process matches -a " + std::string(156, 'x') + "...\n"},
        // 'v', not 'x': a test beside this one runs a process whose command
        // line holds 120 KB of 'x', which these values would select.
        {{"-a", std::string(160, 'v')}, "MEMORY UNKNOWN - no process matches -a " + std::string(160, 'v') + "\n"},
        // Many values: the options as given are cut to 320 bytes in all.
        {{"-a", std::string(100, 'v'), "-a", std::string(100, 'y'), "-a", std::string(100, 'z'), "-a", std::string(100, 'w')},
         "MEMORY UNKNOWN - no process matches -a " + std::string(100, 'v') + " -a " + std::string(100, 'y') + " -a " +
             std::string(100, 'z') + " -a ww...\n"},
        {{"--cgroup", "/a/../b"}, "MEMORY UNKNOWN - invalid control group \"/a/../b\": the path holds \"..\"\n" + std::string(kUsage)},
        {{"-a", "x", "--empty-state", "maybe"},
         "MEMORY UNKNOWN - invalid empty state \"maybe\" (use ok, warning, critical or unknown)\n" + std::string(kUsage)},
        {{"-V"}, "check_trelmark 1.0.0.54 (" TRELMARK_BUILD_DATE ")\n"},
        {{"--version"}, "check_trelmark 1.0.0.54 (" TRELMARK_BUILD_DATE ")\n"},
    };
    for (const auto& c : cases) {
        const testsupport::Result r = Plugin(c.args);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 3);
    }
    // Expressions whose automata grow without end: the check holds at most
    // 64 MB of data and answers at once. (Sanitizer builds run unbounded.)
#if !defined(__SANITIZE_ADDRESS__)
    const auto peakKb = [](std::vector<std::string> argv) {
        argv.insert(argv.begin(), {TRELMARK_PEAKRSS, kPlugin});
        return std::stol(testsupport::Run(argv).out);
    };
    // At rest: the same scan with an expression of a few states.
    const long atRest = peakKb({"--ereg-argument-array", "a{1,2}-nothing-runs-this", "-t", "60"});
    for (const char* expression : {"(((a{1,100}){1,100}){1,100}){1,100}", "a{1,32767}b{1,32767}c{1,32767}"}) {
        const testsupport::Result r = Plugin({"--ereg-argument-array", expression, "-t", "60"});
        EXPECT_EQ(r.out, "MEMORY UNKNOWN - out of memory: a check may hold at most 64 MB\n") << expression;
        EXPECT_EQ(r.status, 3);
        EXPECT_LE(peakKb({"--ereg-argument-array", expression, "-t", "60"}), atRest + 64 * 1024) << expression;
    }
#endif
    const testsupport::Result help = Plugin({"-h"});
    EXPECT_EQ(help.out.rfind("check_trelmark 1.0.0.54 (" TRELMARK_BUILD_DATE ")\n", 0), 0u) << help.out;
    EXPECT_NE(help.out.find(kUsage), std::string::npos);
    EXPECT_EQ(help.status, 3);
    // Every limit the parser enforces, and what decides with --sum.
    for (const char* said : {"1 to 86400", "at most 13 digits", "longer than its 15", "most 4096 bytes",
                             "the total decides", "default): the state", "another check_trelmark", "-v, --verbose", "an\n                        empty RANGE"}) {
        EXPECT_NE(help.out.find(said), std::string::npos) << said;
    }
}

// Whether the line, if it has performance data, ends in " | <label>=<n>B;<warn>;<crit>;0;
// processes=<n>;<warn>;<crit>;0;" (no figure where none was selected) and any
// counts after it (unreadable=), each whole, then "\n".
bool PerformanceDataLast(const std::string& out) {
    regex_t tail;
    if (regcomp(&tail, "^ [|] ([a-z]+=[0-9]+B;[0-9]*;[0-9]*;0; )?processes=[0-9]+;[0-9:@~]*;[0-9:@~]*;0;( [a-z]+=[0-9]+;;;0;)*\n$",
                REG_EXTENDED | REG_NOSUB) != 0) {
        return false;
    }
    const size_t at = out.find(" | ");
    const bool last = at == std::string::npos || regexec(&tail, out.c_str() + at, 0, nullptr, 0) == 0;
    regfree(&tail);
    return last;
}

// The cgroup2 mount (hybrid hosts: .../unified); empty when there is none.
std::string ControlGroupMount() {
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string field, mountPoint;
        for (int i = 0; i < 5 && fields >> field; ++i) mountPoint = field;
        while (fields >> field && field != "-") {
        }
        if (fields >> field && field == "cgroup2") return mountPoint;
    }
    return std::string();
}

// A unit's control group stood up by hand, as systemd would: the unit in its
// own slice and a sub-group below it. Its processes go back to the root and
// the groups are removed on the way out.
struct UnitGroup {
    // `instance`: a templated unit, unit@instance.service, in a sub-slice as
    // systemd puts them (system-postgresql.slice/postgresql@16-main.service).
    UnitGroup(const std::string& mount, const std::string& unit, const std::string& instance = "") : root(mount) {
        const std::string slice = "/" + unit + ".slice";
        const std::string sub = instance.empty() ? slice : slice + "/" + unit + "-" + unit + ".slice";
        path = sub + "/" + unit + (instance.empty() ? "" : "@" + instance) + ".service";
        std::vector<std::string> dirs = {slice, path, path + "/worker"};
        if (sub != slice) dirs.insert(dirs.begin() + 1, sub);
        for (const std::string& dir : dirs) {
            made.push_back(mount + dir);
            ok = ok && std::filesystem::create_directory(made.back());
        }
    }
    bool Move(pid_t pid, const std::string& group) {
        std::ofstream procs(root + group + "/cgroup.procs");
        procs << pid << std::endl;
        return static_cast<bool>(procs);
    }
    ~UnitGroup() {
        for (auto dir = made.rbegin(); dir != made.rend(); ++dir) {
            std::ifstream procs(*dir + "/cgroup.procs");
            for (pid_t pid; procs >> pid;) Move(pid, "");
            std::filesystem::remove(*dir);
        }
    }
    std::string root, path;
    std::vector<std::string> made;
    bool ok = true;
};

// Every selector on real processes: two of one name told apart by their
// arguments, one of another user, one in a unit's sub-group, one with a long
// name; the states a selection that finds nothing gives; processes that
// cannot be read never give OK; a check never selects its parent; users
// only the name services know; a check out of descriptors.
TEST(PluginSelection, EachSelectorOnRealProcesses) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to run a process as another user and to stand up a unit";
    const std::string mount = ControlGroupMount();
    if (mount.empty()) GTEST_SKIP() << "no cgroup2 file system is mounted";
    const std::string tag = std::to_string(getpid());
    const std::string name = "sel" + tag, program = CopyAs(kMemhog, name);
    // The tag within the 15 bytes the kernel keeps: no other program's name starts alike.
    const std::string longName = "tl" + tag + "-trelmark-long-name", longProgram = CopyAs(kMemhog, longName);
    testsupport::Child small({program, "8", "touch"}), large({program, "24", "touch"});
    testsupport::Child other({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", program, "4", "touch"});
    // Its argv[0] names it no more: only its executable does, which another
    // user may not read.
    testsupport::Child longNamed({"/bin/bash", "-c", "exec -a renamed \"$0\" 4 touch", longProgram});
    // A command line of 120 KB, all of which -a asks for: the status line
    // echoes its start, and the performance data follows whole.
    const std::string hugeText = "huge-" + tag + std::string(120 * 1024, 'x');
    std::string longPath;
    while (longPath.size() < 4000) longPath += "/t";
    testsupport::Child huge({CopyAs(kMemhog, "huge" + tag), "4", "touch", hugeText});
    const std::string unit = "tsel" + tag;
    UnitGroup group(mount, unit);
    // The group's processes in descending order: the later (higher) id first,
    // the other in the sub-group.
    const pid_t upper = std::max(small.Pid(), large.Pid()), lower = std::min(small.Pid(), large.Pid());
    ASSERT_TRUE(group.ok && group.Move(upper, group.path) && group.Move(lower, group.path + "/worker"));
    testsupport::Child instance({kMemhog, "2", "touch", "instance"});
    UnitGroup templated(mount, "tpg" + tag, "16-main");
    ASSERT_TRUE(templated.ok && templated.Move(instance.Pid(), templated.path + "/worker"));
    UnitGroup stopped(mount, "tsel-stopped" + tag);
    UnitGroup locked(mount, "tsel-locked" + tag);  // a group other users may not search
    ASSERT_EQ(chmod((mount + locked.path).c_str(), 0700), 0);
    UnitGroup unlisted(mount, "tsel-unlisted" + tag);  // a slice other users may not list
    ASSERT_EQ(chmod(unlisted.made.front().c_str(), 0700), 0);
    UnitGroup walled(mount, "tsel-walled" + tag);  // a sub-group other users may not enter
    ASSERT_EQ(chmod((mount + walled.path + "/worker").c_str(), 0700), 0);
    // A program that only mentions the plugin is measured; one started as
    // check_trelmark (argv[0]) is a check, whatever its image.
    testsupport::Child javaish({kMemhog, "2", "touch", "-Dplugin=/usr/lib/nagios/plugins/check_trelmark t4javaish" + tag});
    testsupport::Child asCheck({"/bin/bash", "-c", std::string("exec -a /usr/lib/nagios/plugins/check_trelmark \"$0\" 2 touch ") +
                                "argv0-names-a-check-" + tag, kMemhog});
    // A threaded sub-group, whose cgroup.procs refuses reading by design.
    stopped.made.push_back(mount + stopped.path + "/threads");
    ASSERT_TRUE(std::filesystem::create_directory(stopped.made.back()));
    ASSERT_TRUE(static_cast<bool>(std::ofstream(stopped.made.back() + "/cgroup.type") << "threaded" << std::flush));
    Sleepers sibling("check_trelmark", 1);  // as an agent's check running beside this one
    // The shell that runs a sibling check carries its arguments.
    const std::string siblingText = "sibling-shell-" + tag;
    // It waits in a builtin, so no child of its own outlives it.
    testsupport::Child siblingShell(
        {"/bin/sh", "-c", "echo $$; read x; : /usr/lib/nagios/plugins/check_trelmark -a " + siblingText});
    const std::string pidSmall = std::to_string(small.Pid()), pidLarge = std::to_string(large.Pid());
    const std::string pidOther = std::to_string(other.Pid());
    const std::string pidLower = std::to_string(lower);
    const std::string stale = TempPath("stale.pid");
    WriteFile(stale, std::to_string(ReapedPid()) + "\n");
    // Out of descriptors: only the three standard ones left open, then a limit of 4 or 5.
    const std::string fdsName = "fds" + tag, tooMany = "Too many open files (raise the limit: ulimit -n)\n";
    testsupport::Child fds({CopyAs(kMemhog, fdsName), "4", "touch"});
    const std::string pidFds = std::to_string(fds.Pid());
    [[maybe_unused]] const auto limit = [](const char* n) {
        return "for fd in $(ls /proc/$$/fd); do [ \"$fd\" -gt 2 ] && eval \"exec $fd>&-\"; done; ulimit -n " + std::string(n) + " && ";
    };
    // -u as id resolves it: an account only libnss-extrausers knows, set up in
    // the row's own mount namespace, and a getent that hangs, which -t ends.
    const std::string account = "nssonly" + tag, nssName = "nss" + tag, uid = "61" + std::to_string(getpid() % 1000 + 100);
    const std::string dir = TempPath("nss-" + tag);
    std::filesystem::create_directories(dir + "/extrausers");
    WriteFile(dir + "/nsswitch.conf", "passwd: files extrausers\ngroup: files\n");
    WriteFile(dir + "/extrausers/passwd", account + ":x:" + uid + ":" + uid + ":NSS only:/nonexistent:/usr/sbin/nologin\n");
    // A unique duration names the hanging child: 30.<pid> seconds.
    WriteFile(dir + "/hanging-getent", "#!/bin/sh\nexec /bin/sleep 30." + tag + "\n");
    chmod((dir + "/hanging-getent").c_str(), 0755);
    testsupport::Child owned({"/usr/bin/setpriv", "--reuid=" + uid, "--regid=" + uid, "--clear-groups", CopyAs(kMemhog, nssName), "4", "touch"});
    const std::string nss = "mount --bind " + dir + "/nsswitch.conf /etc/nsswitch.conf && mount --bind " + dir +
                            "/extrausers /var/lib/extrausers && ";
    const std::string hang = nss + "mount --bind " + dir + "/hanging-getent /usr/bin/getent && ";

    const std::vector<std::string> asNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", kPlugin};
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;  // the start of the line
        bool asOtherUser = false;
        std::string shell = "";  // what bash runs first, in a mount namespace of its own
    } cases[] = {
        {{"--service", unit, "--sum"}, 0, "MEMORY OK - service " + unit + ": 2 processes use "},
        {{"--service", unit + ".service", "-c", "16"}, 2, "MEMORY CRITICAL - service " + unit + ".service: 2 processes, largest pid " + pidLarge},
        {{"--cgroup", group.path + "/worker"}, 0, "MEMORY OK - control group " + group.path + "/worker: 1 process, pid " + pidLower},
        {{"--service", "tpg" + tag + "@16-main"}, 0,
         "MEMORY OK - service tpg" + tag + "@16-main: 1 process, pid " + std::to_string(instance.Pid()) + " uses "},
        {{"-a", "t4javaish" + tag}, 0, "MEMORY OK - -a t4javaish" + tag + ": 1 process, pid " + std::to_string(javaish.Pid()) + " uses "},
        {{"-a", "argv0-names-a-check-" + tag}, 3, "MEMORY UNKNOWN - no process matches -a argv0-names-a-check-" + tag + "\n"},
        {{"--cgroup", group.path + "/"}, 0, "MEMORY OK - control group " + group.path + "/: 2 processes"},
        {{"-C", name}, 0, "MEMORY OK - 3 processes named " + name + ", largest pid " + pidLarge},
        {{"-C", name, "-a", name + " 8 "}, 0, "MEMORY OK - -C " + name + " -a " + name + " 8 : 1 process, pid " + pidSmall},
        // Either value of one selector; each kind narrows the others.
        {{"-C", name, "-C", longName}, 0, "MEMORY OK - 4 processes named " + name + " or " + longName + ", largest pid " + pidLarge},
        {{"-C", name, "-C", longName, "-a", " 8 touch", "-a", " 4 touch"}, 0,
         "MEMORY OK - -C " + name + " -C " + longName + " -a  8 touch -a  4 touch: 3 processes, largest pid " + pidSmall},
        // Count ranges: the worse of the count's and the memory's states; on
        // an empty selection, whatever --empty-state says.
        {{"-C", name, "--processes-warning", "4:", "--processes-critical", "2:"}, 1,
         "MEMORY WARNING - 3 processes named " + name + " (warning below 4), largest pid " + pidLarge + " uses "},
        {{"-C", name, "--processes-warning", "2", "-c", "16"}, 2,
         "MEMORY CRITICAL - 3 processes named " + name + " (warning above 2), largest pid " + pidLarge + " uses "},
        {{"-C", name + "x", "--processes-warning", "0", "--empty-state=critical"}, 0,
         "MEMORY OK - no process named " + name + "x | processes=0;0;;0;\n"},
        // The '|' that would start performance data is shown as '?'.
        {{"--ereg-argument-array", name + " (8|24) t"}, 0, "MEMORY OK - --ereg-argument-array " + name + " (8?24) t: 2 processes"},
        // A plain text is searched for as it is; one special character
        // makes it an expression again.
        {{"--ereg-argument-array", name + " 8 t"}, 0, "MEMORY OK - --ereg-argument-array " + name + " 8 t: 1 process, pid " + pidSmall},
        {{"--ereg-argument-array", name + " 8+ t"}, 0, "MEMORY OK - --ereg-argument-array " + name + " 8+ t: 1 process, pid " + pidSmall},
        {{"-u", "nobody", "-C", name}, 0, "MEMORY OK - -u nobody -C " + name + ": 1 process, pid " + pidOther},
        {{"-u", "0", "-C", name, "--sum"}, 0, "MEMORY OK - -u 0 -C " + name + ": 2 processes use "},
        {{"-u", "no-such-user-" + tag}, 3, "MEMORY UNKNOWN - no user named no-such-user-" + tag + "\n"},
        {{"-u", "4294967294", "-C", name}, 3, "MEMORY UNKNOWN - no process matches -u 4294967294 -C " + name + "\n"},
        {{"-u", "4294967295"}, 3, "MEMORY UNKNOWN - user ids are at most 4294967294\n"},
        {{"-C", longName}, 0, "MEMORY OK - 1 process named " + longName + ": pid " + std::to_string(longNamed.Pid())},
        {{"-C", longName + "x"}, 3, "MEMORY UNKNOWN - no process named " + longName + "x\n"},
        {{"-a", "nothing-runs-this-" + tag, "--empty-state=critical"}, 2,
         "MEMORY CRITICAL - no process matches -a nothing-runs-this-" + tag + "\n"},
        {{"--service", "tsel-stopped" + tag, "--empty-state", "OK"}, 0,
         "MEMORY OK - service tsel-stopped" + tag + " is not running (no process in its control group)\n"},
        {{"--service", "tsel-missing" + tag, "--empty-state=ok"}, 3, "MEMORY UNKNOWN - no service named tsel-missing" + tag + "\n"},
        {{"-f", stale, "--empty-state=warning"}, 1, "MEMORY WARNING - no process with pid "},
        {{"-a", "nothing-runs-this-" + tag, "--empty-state=unknown"}, 3,
         "MEMORY UNKNOWN - no process matches -a nothing-runs-this-" + tag + "\n"},
        {{"--cgroup", "/tsel-none" + tag}, 3, "MEMORY UNKNOWN - no control group /tsel-none" + tag + "\n"},
        // A reason that names a path of 4000 bytes: the line is cut to 1000.
        {{"--cgroup", longPath}, 3, ("MEMORY UNKNOWN - no control group " + longPath).substr(0, 997) + "...\n"},
        {{"-C", "check_trelmark"}, 3, "MEMORY UNKNOWN - no process named check_trelmark\n"},
        {{"-a", siblingText}, 3, "MEMORY UNKNOWN - no process matches -a " + siblingText + "\n"},
        {{"-a", hugeText}, 0, "MEMORY OK - -a " + hugeText.substr(0, 157) + "...: 1 process, pid " + std::to_string(huge.Pid()) + " uses "},
        // Root's processes cannot be read by another user: never OK, unless
        // the ones that can be read are already critical.
        {{"-C", name, "-m", "uss"}, 3, "MEMORY UNKNOWN - 2 of 3 processes named " + name + " could not be read: cannot read the unique memory of pid ", true},
        {{"--service", unit, "-m", "pss"}, 3, "MEMORY UNKNOWN - service " + unit + ": 2 of 2 processes could not be read: ", true},
        {{"-C", name, "-m", "uss", "--sum", "-c", "100:"}, 3, "MEMORY UNKNOWN - 2 of 3 processes named " + name, true},
        {{"--service", "tsel-locked" + tag, "--empty-state=ok"}, 3,
         "MEMORY UNKNOWN - cannot find service tsel-locked" + tag + ": cannot read the control groups: Permission denied\n", true},
        {{"--service", "tsel-unlisted" + tag, "--empty-state=ok"}, 3,
         "MEMORY UNKNOWN - cannot find service tsel-unlisted" + tag + ": cannot read the control groups: Permission denied\n", true},
        {{"--cgroup", walled.path, "--empty-state=ok"}, 3, "MEMORY UNKNOWN - cannot read the control group: Permission denied\n", true},
        {{"-C", longName}, 3, "MEMORY UNKNOWN - 1 of 1 process named " + longName + " could not be read: Permission denied" + kNeedsPtrace, true},
        {{"-u", account, "-C", nssName}, 0, "MEMORY OK - -u " + account + " -C " + nssName + ": 1 process, pid " + std::to_string(owned.Pid()), false, nss},
        {{"-u", account, "-t", "1"}, 3, "MEMORY UNKNOWN - timed out after 1 s\n", false, hang},
        {{"-u", "root", "-C", nssName, "-t", "1"}, 3, "MEMORY UNKNOWN - no process matches -u root -C " + nssName + "\n", false, hang},
#ifndef __SANITIZE_ADDRESS__
        // Linux's words and the limit to raise, whichever call ran out; never
        // "no process matches" (every line is read before a process is opened,
        // and holding the one whose line matches runs out: its pidfd, then its
        // line read again). UBSan's type checks need a pipe of their own.
        {{"-C", fdsName}, 3, "MEMORY UNKNOWN - cannot list the processes: " + tooMany, false, limit("4")},
        {{"-p", pidFds}, 3, "MEMORY UNKNOWN - cannot open the process with pid " + pidFds + ": " + tooMany, false, limit("4")},
        {{"-C", fdsName}, 3, "MEMORY UNKNOWN - 1 of 1 process named " + fdsName + " could not be read: cannot read the memory "
         "counters of pid " + pidFds + ": " + tooMany, false, limit("5")},
        {{"-p", pidFds, "-m", "pss"}, 3, "MEMORY UNKNOWN - cannot read the proportional memory of pid " + pidFds + ": " + tooMany, false, limit("5")},
        {{"-a", fdsName, "--empty-state=ok"}, 3, "MEMORY UNKNOWN - cannot open the process with pid " + pidFds + ": " + tooMany, false, limit("4")},
        {{"-a", fdsName, "--empty-state=ok"}, 3, "MEMORY UNKNOWN - cannot read pid " + pidFds + ": " + tooMany, false, limit("5")},
#endif
    };
    for (const auto& c : cases) {
        testsupport::Result r;
        if (!c.shell.empty()) {
            if (c.shell.find("extrausers") != std::string::npos && !std::filesystem::exists("/var/lib/extrausers")) continue;
            std::vector<std::string> argv = {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/bash", "-c", c.shell + "exec \"$0\" \"$@\"", kPlugin};
            argv.insert(argv.end(), c.args.begin(), c.args.end());
            const auto start = std::chrono::steady_clock::now();
            r = testsupport::Run(argv);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << r.out;
        } else if (c.asOtherUser) {
            std::vector<std::string> argv = asNobody;
            argv.insert(argv.end(), c.args.begin(), c.args.end());
            r = testsupport::Run(argv);
        } else {
            r = Plugin(c.args);
        }
        EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << c.args[0] << " " << c.args[1] << ": " << r.out;
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_EQ(r.err, "") << r.out;
        // One line, within the 1 KB NRPE passes on, the performance data last.
        EXPECT_LE(r.out.size(), 1024u) << r.out.substr(0, 1024);
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
        EXPECT_TRUE(PerformanceDataLast(r.out)) << r.out.substr(0, 1024);
    }

    // The unique memory of the one process another user can read, exactly.
    // It lies idle, but the kernel may still fault in, collapse or (for an
    // instant) migrate a page of it: a check that gives the figure read just
    // before and after it is looked for, and compared.
    const auto otherKb = [&] { return RollupKb(other.Pid(), "Private_Clean") + RollupKb(other.Pid(), "Private_Dirty"); };
    const std::vector<std::vector<std::string>> partial = {
        {"-C", name, "-m", "uss", "-c", "1"},
        // A partial total proves CRITICAL above the range's end, not at it, nor below its start.
        {"-C", name, "-m", "uss", "--sum", "-c", "1"},
        {"-C", name, "-m", "uss", "--sum", "-c", "@RANGE"},
    };
    for (const auto& row : partial) {
        const auto expected = [&](long long kb) {
            const std::string mb = N(kb >> 10), perf = " | uss=" + N(kb * 1024) + "B;;" + Bytes(1) + ";0; processes=3;;;0; unreadable=2;;;0;\n";
            return row.back() == "@RANGE" ? "MEMORY UNKNOWN - 2 of 3 processes named " + name
                   : row.size() == 6      ? "MEMORY CRITICAL - 3 processes named " + name + ": pid " + pidOther + " uses " + mb +
                                           " MB of unique memory (critical above 1 MB); 2 could not be read" + perf
                                          : "MEMORY CRITICAL - 3 processes named " + name + " use at least " + mb +
                                           " MB of unique memory in total (critical above 1 MB); 2 could not be read" + perf;
        };
        long long before = 0, after = -1;
        testsupport::Result r;
        for (int attempt = 0; attempt < 20 && (before != after || r.out.rfind(expected(before), 0) != 0); ++attempt) {
            before = otherKb();
            // The range ends at the figure, to the byte, in MB as a range gives it.
            const std::string range = N(before / 1024) + "." + N(1000000000000LL + (before % 1024) * 9765625LL).substr(3);
            std::vector<std::string> argv = asNobody;
            for (const std::string& a : row) argv.push_back(a == "@RANGE" ? range : a);
            r = testsupport::Run(argv);
            after = otherKb();
        }
        ASSERT_EQ(before, after);
        EXPECT_EQ(r.out.rfind(expected(before), 0), 0u) << row.back() << ": " << r.out;
        EXPECT_EQ(r.status, row.back() == "@RANGE" ? 3 : 2) << r.out;
        EXPECT_EQ(r.err, "") << r.out;
    }

    // The hanging getent ended with the check, not 30 seconds later.
    EXPECT_EQ(testsupport::Run({"/usr/bin/pgrep", "-f", "sleep 30." + tag}).out, "");
    std::filesystem::remove_all(dir);

    // The parent that runs the check carries the text too: it is not
    // selected, be it a shell or any other program.
    const std::string marker = "only-in-this-parent-" + tag;
    for (const std::vector<std::string>& parent : {std::vector<std::string>{"/bin/sh", "-c", "\"$0\" -a " + marker + "; :", kPlugin},
                                                   std::vector<std::string>{"/usr/bin/timeout", "20", kPlugin, "-a", marker}}) {
        EXPECT_EQ(testsupport::Run(parent).out, "MEMORY UNKNOWN - no process matches -a " + marker + "\n") << parent[0];
    }
}

// --- a control group's own memory, on the v1 memory controller ------------------

// This process's group in the v1 memory controller's hierarchy ("memory:/x"
// in /proc/self/cgroup); empty when the controller is not v1.
std::string OwnMemoryGroup() {
    std::ifstream in("/proc/self/cgroup");
    for (std::string line; std::getline(in, line);) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos && line.compare(colon, 8, ":memory:") == 0) return line.substr(colon + 8);
    }
    return std::string();
}

const std::string kMemoryRoot = "/sys/fs/cgroup/memory";

uint64_t KernelNumber(const std::string& path) { return std::stoull(ReadLine(path)); }

uint64_t StatValue(const std::string& group, const std::string& key) {
    std::ifstream in(group + "/memory.stat");
    for (std::string name, value; in >> name >> value;) {
        if (name == key) return std::stoull(value);
    }
    ADD_FAILURE() << "no " << key << " in " << group << "/memory.stat";
    return 0;
}

// A command line that joins `group` and then runs `argv`, so that its
// memory is charged there from the first page.
std::vector<std::string> Inside(const std::string& group, std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"/bin/sh", "-c", "echo $$ > " + kMemoryRoot + group + "/cgroup.procs && exec \"$@\"", "sh"});
    return argv;
}

bool Limit(const std::string& group, const char* bytes) {
    return static_cast<bool>(std::ofstream(kMemoryRoot + group + "/memory.limit_in_bytes") << bytes << std::flush);
}

// Each group figure against the kernel's own file, a share on the right side
// of the limit and of the host's memory, the peak of a group whose program
// the OOM killer ended, and the groups that have no figure of their own.
TEST(PluginControlGroup, V1GroupFiguresAsTheKernelKeepsThem) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to make control groups";
    const std::string own = OwnMemoryGroup();
    if (own.empty() || !std::filesystem::exists(kMemoryRoot + own + "/memory.usage_in_bytes")) {
        GTEST_SKIP() << "the memory controller is not cgroup v1 here";
    }
    const std::string tag = std::to_string(getpid()), base = own == "/" ? "" : own;
    UnitGroup limitedUnit(kMemoryRoot + base, "tmg" + tag), freeUnit(kMemoryRoot + base, "tmf" + tag);
    UnitGroup oomUnit(kMemoryRoot + base, "tmo" + tag);
    // The limit on the slice, the program two levels below: the effective limit.
    const std::string limited = base + "/tmg" + tag + ".slice", worker = base + limitedUnit.path + "/worker";
    const std::string free = base + freeUnit.path, killed = base + oomUnit.path;
    ASSERT_TRUE(limitedUnit.ok && freeUnit.ok && oomUnit.ok && Limit(limited, "64M") && Limit(killed, "32M"));
    testsupport::Child hog(Inside(worker, {kMemhog, "54", "touch"}));
    testsupport::Child small(Inside(free, {kMemhog, "20", "touch"}));
    // File cache written from inside: charged, but not in the working set.
    const std::string cached = TempPath("cached" + tag);
    ASSERT_EQ(testsupport::Run(Inside(free, {"/bin/dd", "if=/dev/zero", "of=" + cached, "bs=1M", "count=8", "status=none"})).status, 0);
    ASSERT_GT(StatValue(kMemoryRoot + free, "total_inactive_file"), uint64_t{4} << 20);
    // 64 MB in a group of 32: the kernel kills it; its peak stays.
    const testsupport::Result oom = testsupport::Run(Inside(killed, {kMemhog, "64", "touch"}));
    EXPECT_EQ(oom.status, -1) << oom.out;
    const uint64_t hostBytes = static_cast<uint64_t>(testsupport::ProcKilobytes("/proc/meminfo", "MemTotal")) * 1024;
    const std::string host = std::to_string(hostBytes);
    const std::string limit = std::to_string(64 << 20);

    const auto usage = [](const std::string& group) { return KernelNumber(kMemoryRoot + group + "/memory.usage_in_bytes"); };
    const auto peak = [](const std::string& group) { return KernelNumber(kMemoryRoot + group + "/memory.max_usage_in_bytes"); };
    const auto workingSet = [&](const std::string& group) {
        const uint64_t charged = usage(group), inactive = StatValue(kMemoryRoot + group, "total_inactive_file");
        return charged > inactive ? charged - inactive : 0;
    };
    const struct {
        std::vector<std::string> args;  // the group's path second, the figure fourth
        int status;
        std::string text;  // the line up to the figure, then from its end
        std::string tail;  // what follows the figure in the perfdata
        std::string note = "";  // the crossed bound, where the text gives it
    } cases[] = {
        // 54 MB of 64: past 80%, short of 95%.
        {{"--cgroup", limited, "-m", "cgroup", "-w", "80%", "-c", "95%"}, 1,
         "MEMORY WARNING - control group " + limited + " holds ", ";53687091.2;63753420.8;0;" + limit + "\n"},
        // Its 54 MB of heap alone are 84.4% of the limit, whatever else is charged.
        {{"--cgroup", worker, "-m", "cgroup", "-w", "80%", "-c", "84%"}, 2,
         "MEMORY CRITICAL - control group " + worker + " holds ", ";53687091.2;56371445.76;0;" + limit + "\n"},
        // In MB the limit still gives the graph its ceiling.
        {{"--cgroup", worker, "-m", "cgroup-peak", "-c", "40"}, 2,
         "MEMORY CRITICAL - control group " + worker + "'s peak charge is ", ";;41943040;0;" + limit + "\n"},
        // No limit: a share of the host's memory, named.
        {{"--cgroup", free, "-m", "cgroup", "-w", "80%"}, 0,
         "MEMORY OK - control group " + free + " holds ", ";" + std::to_string(hostBytes * 4 / 5) + (hostBytes * 4 % 5 ? "." + std::to_string(hostBytes * 4 % 5 * 2) : "") + ";;0;" + host + "\n"},
        {{"--cgroup", free, "-m", "cgroup-workingset", "-c", "24"}, 0,
         "MEMORY OK - control group " + free + "'s working set is ", ";;25165824;0;\n"},
        // The bound crossed goes first in the brackets, the charge and the cache after it.
        {{"--cgroup", free, "-m", "cgroup-workingset", "-w", "1"}, 1,
         "MEMORY WARNING - control group " + free + "'s working set is ", ";1048576;;0;\n",
         " MB (warning above 1 MB; "},
        // The group whose program the OOM killer ended: its peak reached the limit.
        {{"--cgroup", killed, "-m", "cgroup-peak", "-c", "95%"}, 2,
         "MEMORY CRITICAL - control group " + killed + "'s peak charge is ", ";;31876710.4;0;" + std::to_string(32 << 20) + "\n"},
    };
    for (const auto& c : cases) {
        const std::string& metric = c.args[3];
        const auto read = [&]() {
            return metric == "cgroup" ? usage(c.args[1]) : metric == "cgroup-peak" ? peak(c.args[1]) : workingSet(c.args[1]);
        };
        const uint64_t before = read();
        const testsupport::Result r = Plugin(c.args);
        // The figure lies between the kernel's file read before and after
        // the check (equal when the group holds still).
        const size_t at = r.out.find("| " + metric + "=");
        ASSERT_NE(at, std::string::npos) << r.out;
        const uint64_t bytes = std::stoull(r.out.substr(at + metric.size() + 3)), after = read();
        EXPECT_TRUE(std::min(before, after) <= bytes && bytes <= std::max(before, after)) << before << ".." << after << ": " << r.out;
        EXPECT_EQ(r.out.rfind(c.text, 0), 0u) << r.out;
        EXPECT_EQ(r.out.substr(at - 1), " | " + metric + "=" + std::to_string(bytes) + "B" + c.tail) << r.out;
        if (!c.note.empty()) {
            const size_t note = r.out.find(c.note);
            EXPECT_NE(note, std::string::npos) << r.out;
            EXPECT_LT(note, r.out.find(" charged less ")) << r.out;
        }
        // A working set names what it was taken from.
        EXPECT_EQ(r.out.find(" of inactive file cache), ") != std::string::npos, metric == "cgroup-workingset") << r.out;
        const bool ofLimit = c.args[1] != free;
        EXPECT_NE(r.out.find(ofLimit ? " of its limit of " : " of the host's "), std::string::npos) << r.out;
        EXPECT_TRUE(ofLimit || r.out.find(" GB, no limit set |") != std::string::npos) << r.out;
        EXPECT_EQ(r.status, c.status) << r.out;
    }
    // The oom row read the peak at the limit: 100% of it.
    EXPECT_EQ(peak(killed), uint64_t{32} << 20);
    std::filesystem::remove(cached);

    // --cgroup takes the memory controller's paths for processes too.
    testsupport::Result r = Plugin({"--cgroup", limited, "--sum"});
    EXPECT_EQ(r.out.rfind("MEMORY OK - control group " + limited + ": 1 process uses ", 0), 0u) << r.out;

    // No figure of its own: never a parent's.
    const std::string unlisted = base + "/tmg-none" + tag;
    const struct {
        std::vector<std::string> args;
        std::string out;
    } unknown[] = {
        {{"--cgroup", "/", "-m", "cgroup"},
         "MEMORY UNKNOWN - control group /: the root control group is the whole host, with no charge or limit of its "
         "own (v2 keeps no memory.current there): name a group below it\n"},
        {{"--cgroup", unlisted, "-m", "cgroup-peak"},
         "MEMORY UNKNOWN - control group " + unlisted + ": the group has no memory accounting of its own: the memory "
         "controller's hierarchy has no " + kMemoryRoot + unlisted + " (systemd: MemoryAccounting=no)\n"},
        {{"-p", std::to_string(hog.Pid()), "-m", "cgroup"},
         "MEMORY UNKNOWN - -m cgroup reads a control group's own counters and needs --service or --cgroup: for these "
         "processes use -m working for each process, or --sum -m pss for their total\n"},
        {{"-C", "memhog", "-m", "cgroup-peak"},
         "MEMORY UNKNOWN - -m cgroup-peak reads a control group's own counters and needs --service or --cgroup: for "
         "these processes use -m peak, each process's own peak\n"},
        {{"--service", "tmg-missing" + tag, "-m", "cgroup"}, "MEMORY UNKNOWN - no service named tmg-missing" + tag + "\n"},
    };
    for (const auto& c : unknown) {
        r = Plugin(c.args);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 3);
    }

    // A unit whose group is in systemd's hierarchy but not in the memory
    // controller's (MemoryAccounting=no): UNKNOWN, not its parent's charge.
    const std::string mount = ControlGroupMount();
    if (!mount.empty()) {
        const std::string unit = "tmg-unit" + tag;
        UnitGroup group(mount, unit);
        ASSERT_TRUE(group.ok);
        r = Plugin({"--service", unit, "-m", "cgroup", "-w", "80%"});
        EXPECT_EQ(r.out, "MEMORY UNKNOWN - service " + unit + ": the group has no memory accounting of its own: the "
                         "memory controller's hierarchy has no " + kMemoryRoot + group.path +
                         " (systemd: MemoryAccounting=no)\n");
        EXPECT_EQ(r.status, 3);
        // Seen as a pure v2 host (cgroup2 at /sys/fs/cgroup, in a mount
        // namespace of its own) whose cgroup2 lacks the controller: the reason.
        if ((" " + ReadLine(mount + "/cgroup.controllers") + " ").find(" memory ") == std::string::npos) {
            r = testsupport::Run({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                                  "mount -t cgroup2 none /sys/fs/cgroup && exec \"$0\" \"$@\"", kPlugin, "--service",
                                  unit, "-m", "cgroup-workingset"});
            EXPECT_EQ(r.out, "MEMORY UNKNOWN - service " + unit + ": the memory controller is not in the cgroup2 "
                             "hierarchy at /sys/fs/cgroup (its cgroup.controllers does not list memory)\n");
            EXPECT_EQ(r.status, 3);
        }
    }
}

}  // namespace
