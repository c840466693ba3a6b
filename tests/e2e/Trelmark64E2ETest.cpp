// The built program as a monitoring host runs it: real processes, exact
// standard output, empty standard error, the exit status.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "check/BuildDate.h"
#include "tests/support/ExpectedUsage.h"
#include "tests/support/Subprocess.h"

namespace {

const std::string kProgram = TRELMARK_PROGRAM;
const std::string kMemhog = TRELMARK_MEMHOG;
const std::string kExitedLeader = TRELMARK_EXITEDLEADER;
const std::string kNoPidfd = TRELMARK_NOPIDFD;
const std::string kUsage = ExpectedUsage("1.0.0.54 (" TRELMARK_BUILD_DATE ")");
constexpr int kFailed = 255;  // -1 as an 8-bit exit status

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

testsupport::Result Check(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kProgram};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::Run(argv);
}

std::string Failure(const std::string& message) { return "\n" + message + ".\n\n" + kUsage; }

struct Case {
    const char* name;
    std::vector<std::string> args;  // "{pid}" stands for the helper's id
    int status;
    std::string out;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class CommandLine : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLine, PrintsExactlyAndExitsWithTheVerdict) {
    testsupport::Child target({kMemhog, "8", "touch"});  // well above 1 MB on both counters
    const std::string pid = std::to_string(target.Pid());
    const Case& c = GetParam();
    std::vector<std::string> args;
    for (const std::string& a : c.args) args.push_back(Replace(a, "{pid}", pid));
    const testsupport::Result r = Check(args);
    EXPECT_EQ(r.out, Replace(c.out, "{pid}", pid));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, c.status);
}

const std::string kNoProcess = "The parameter is incorrect";

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLine,
    ::testing::Values(
        Case{"NoArguments", {}, kFailed, Failure("Too few arguments")},
        Case{"OneArgument", {"{pid}"}, kFailed, Failure("Too few arguments")},
        Case{"LetterIdentifier", {"abc", "10"}, kFailed, Failure("Process identifier \"abc\" is not valid")},
        Case{"ZeroIdentifier", {"0", "10"}, kFailed, Failure("Process identifier \"0\" is not valid")},
        Case{"EmptyIdentifier", {"", "10"}, kFailed, Failure("Process identifier \"\" is not valid")},
        Case{"HexIdentifier", {"0x10", "10"}, kFailed, Failure("Process identifier \"0x10\" is not valid")},
        Case{"BothInvalidReportsTheIdentifier", {"abc", "abc"}, kFailed,
             Failure("Process identifier \"abc\" is not valid")},
        Case{"ZeroThreshold", {"{pid}", "0"}, kFailed, Failure("VM size \"0\" is not valid")},
        Case{"NegativeThreshold", {"{pid}", "-1", "-vm"}, kFailed, Failure("VM size \"-1\" is not valid")},
        Case{"LetterThreshold", {"{pid}", "abc"}, kFailed, Failure("VM size \"abc\" is not valid")},
        Case{"OptionInIdentifierPosition", {"-v", "{pid}", "10"}, kFailed,
             Failure("Process identifier \"-v\" is not valid")},
        Case{"OptionInThresholdPosition", {"{pid}", "-vm"}, kFailed, Failure("VM size \"-vm\" is not valid")},
        Case{"NegativeIdentifierShownUnsigned", {"-5", "10"}, kFailed,
             Failure("Unable to access the process with identifier 4294967291: " + kNoProcess)},
        Case{"HugeIdentifierSaturates", {"99999999999", "10"}, kFailed,
             Failure("Unable to access the process with identifier 2147483647: " + kNoProcess)},
        Case{"HugeNegativeIdentifierSaturatesShownUnsigned", {"-99999999999", "10"}, kFailed,
             Failure("Unable to access the process with identifier 2147483648: " + kNoProcess)},
        Case{"FormatDirectivesAreText", {"%s%n%x", "10"}, kFailed,
             Failure("Process identifier \"%s%n%x\" is not valid")},
        Case{"NonAsciiIsEchoedUnchanged", {"\xc3\xa9t\xc3\xa9", "10"}, kFailed,
             Failure("Process identifier \"\xc3\xa9t\xc3\xa9\" is not valid")},
        Case{"HugeArgumentIsEchoedUnchanged", {std::string(100000, 'x'), "10"}, kFailed,
             Failure("Process identifier \"" + std::string(100000, 'x') + "\" is not valid")},
        Case{"QuietSuccessBelow", {"{pid}", "100000"}, 0, ""},
        Case{"QuietSuccessAbove", {"{pid}", "1", "-x", "vm", "--vm"}, 1, ""},
        Case{"RepeatedOptionsAnyCase", {"{pid}", "1", "-VM", "-Vm", "-vm", "-x"}, 1, ""}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(CommandLineParsing, LeadingBlankIdentifierIsMeasured) {
    testsupport::Child target({kMemhog, "1", "reserve"});
    const std::string pid = std::to_string(target.Pid());
    const testsupport::Result r = Check({"\v \t\n\f\r" + pid + "abc", "100000.5", "-V"});
    EXPECT_EQ(r.out.rfind("\nProcess " + pid + " is using ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("NOT more than the the threshold of 100000 MB.\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 0);
}

TEST(Nonexistent, ProcessThatDoesNotExist) {
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    const testsupport::Result r = Check({std::to_string(gone), "10", "-v"});
    EXPECT_EQ(r.out, Failure("Unable to access the process with identifier " + std::to_string(gone) + ": " + kNoProcess));
    EXPECT_EQ(r.status, kFailed);
}

struct Measured {
    const char* mode;
    int megabytes;
    bool virtualMemory;
};

void PrintTo(const Measured& m, std::ostream* os) { *os << m.mode << " " << m.megabytes; }

class Verdict : public ::testing::TestWithParam<Measured> {};

// The figure the program prints is the kernel's, truncated to whole MB, and
// the threshold boundary is strict.
TEST_P(Verdict, SentencesAroundTheMeasuredValue) {
    const Measured& m = GetParam();
    testsupport::Child target({kMemhog, std::to_string(m.megabytes), m.mode});
    const std::string pid = std::to_string(target.Pid());
    long long kb = m.virtualMemory ? testsupport::StatusKilobytes(target.Pid(), "VmData") +
                                         testsupport::StatusKilobytes(target.Pid(), "VmStk")
                                   : testsupport::StatusKilobytes(target.Pid(), "VmRSS");
    const long long mb = kb / 1024;
    ASSERT_GE(mb, m.megabytes);
    const std::string qualifier = m.virtualMemory ? "virtual " : "";
    std::vector<std::string> options = m.virtualMemory ? std::vector<std::string>{"-v", "-vm"}
                                                       : std::vector<std::string>{"-v"};
    auto run = [&](long long threshold) {
        std::vector<std::string> args = {pid, std::to_string(threshold)};
        args.insert(args.end(), options.begin(), options.end());
        return Check(args);
    };
    const std::string head = "\nProcess " + pid + " is using " + std::to_string(mb) + " MB of " + qualifier + "memory, which is ";

    testsupport::Result equal = run(mb);
    EXPECT_EQ(equal.out, head + "NOT more than the the threshold of " + std::to_string(mb) + " MB.\n");
    EXPECT_EQ(equal.status, 0);
    testsupport::Result below = run(mb - 1);
    EXPECT_EQ(below.out, head + "more than the the threshold of " + std::to_string(mb - 1) + " MB.\n");
    EXPECT_EQ(below.status, 1);
    EXPECT_EQ(below.err, "");

    // Without -v nothing at all is printed, either way.
    testsupport::Result quiet = Check({pid, std::to_string(mb - 1), m.virtualMemory ? "-vm" : "-x"});
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.status, 1);
}

INSTANTIATE_TEST_SUITE_P(Memory, Verdict,
                         ::testing::Values(Measured{"touch", 48, false}, Measured{"reserve", 300, true},
                                           Measured{"touch", 20, true}),
                         [](const ::testing::TestParamInfo<Measured>& info) {
                             return std::string(info.param.mode) + std::to_string(info.param.megabytes) +
                                    (info.param.virtualMemory ? "Virtual" : "Working");
                         });

TEST(Verdict, UntouchedMemoryIsVirtualOnly) {
    testsupport::Child target({kMemhog, "512", "reserve"});
    const std::string pid = std::to_string(target.Pid());
    EXPECT_EQ(Check({pid, "256"}).status, 0);
    EXPECT_EQ(Check({pid, "256", "-vm"}).status, 1);
}

}  // namespace

namespace {

// Output that cannot be written changes neither the verdict nor the exit
// code, of either program: not even a pipe whose reader has gone (no death
// by SIGPIPE, 141).
TEST(Faults, ClosedFullOrBrokenStandardOutputKeepsTheExitCode) {
    testsupport::Child target({kMemhog, "8", "touch"});
    const std::string pid = std::to_string(target.Pid());
    const std::string plugin = TRELMARK_PLUGIN;
    const struct {
        std::vector<std::string> argv;
        int status;
    } cases[] = {{{kProgram, pid, "1", "-v"}, 1},         {{kProgram, pid, "100000", "-v"}, 0},
                 {{kProgram, "abc", "1"}, kFailed},        {{kProgram}, kFailed},
                 {{plugin, "-p", pid, "-c", "1"}, 2},      {{plugin, "-p", pid}, 0},
                 {{plugin, "-p", "abc"}, 3}};
    for (const char* redirect : {">&-", ">/dev/full", "broken pipe"}) {
        for (const auto& c : cases) {
            const bool pipe = std::string(redirect) == "broken pipe";
            std::vector<std::string> argv;
            if (!pipe) argv = {"/bin/sh", "-c", std::string("exec \"$0\" \"$@\" ") + redirect};
            argv.insert(argv.end(), c.argv.begin(), c.argv.end());
            const testsupport::Result r =
                testsupport::Run(argv, pipe ? testsupport::Output::BrokenPipe : testsupport::Output::Captured);
            EXPECT_EQ(r.status, c.status) << redirect;
            EXPECT_EQ(r.err, "") << redirect;
        }
    }
}

// A target that ends while it is being checked is either measured (a figure
// the kernel showed for it between its start and its end), found empty, or
// reported as gone: never a crash, a wrong process or a stray code. Empty and
// gone are right only once it has been killed. Even rounds kill it after the
// check, which then must have measured it; odd rounds kill it at points spread
// over the time a check takes.
TEST(Faults, TargetExitingDuringTheCheckGivesADefinedResult) {
    int measured = 0, empty = 0, gone = 0;
    std::chrono::steady_clock::duration checkTime{};
    for (int round = 0; round < 40; ++round) {
        auto target = std::make_unique<testsupport::Child>(std::vector<std::string>{kMemhog, "4", "touch"});
        const std::string pid = std::to_string(target->Pid());
        const long long first = testsupport::StatusKilobytes(target->Pid(), "VmRSS") / 1024;
        long long last = 0;  // its figure just before the kill (it only grows)
        const auto kill = [&] {
            last = testsupport::StatusKilobytes(target->Pid(), "VmRSS") / 1024;
            target.reset();  // kills and reaps it
        };
        const bool killAfter = round % 2 == 0;
        std::atomic<bool> killed{false};
        std::thread killer;
        if (!killAfter) {
            killer = std::thread([&, delay = checkTime * (round / 2) / 20] {
                std::this_thread::sleep_for(delay);
                killed = true;  // set before the signal: still false after the check, none was sent during it
                kill();
            });
        }
        const auto start = std::chrono::steady_clock::now();
        const testsupport::Result r = Check({pid, "1", "-v"});
        if (killAfter) checkTime = std::chrono::steady_clock::now() - start;
        const bool killedDuringTheCheck = killed;
        if (killer.joinable()) killer.join();
        if (killAfter) kill();
        const std::string head = "\nProcess " + pid + " is using ";
        const std::string more = " MB of memory, which is more than the the threshold of 1 MB.\n";
        const bool itsOwnFigure = [&] {
            for (long long mb = first; mb <= last; ++mb) {
                if (r.out == head + std::to_string(mb) + more) return true;
            }
            return false;
        }();
        if (r.status == 1 && itsOwnFigure) {
            ++measured;
        } else if (killedDuringTheCheck && r.status == 0 &&
                   r.out == head + "0 MB of memory, which is NOT more than the the threshold of 1 MB.\n") {
            ++empty;
        } else if (killedDuringTheCheck && r.status == kFailed &&
                   r.out == Failure("Unable to access the process with identifier " + pid + ": " + kNoProcess)) {
            ++gone;
        } else {
            ADD_FAILURE() << "round " << round << (killedDuringTheCheck ? ", killed" : ", not killed during the check")
                          << ": status " << r.status << ", " << first << " to " << last << " MB, output:\n" << r.out;
        }
        EXPECT_EQ(r.err, "");
    }
    RecordProperty("measured", measured);
    RecordProperty("empty", empty);
    RecordProperty("gone", gone);
}

}  // namespace

namespace {

// A copy of `source` where every user may run it (the build tree may not be
// reachable for an unprivileged user).
std::string CopyToTemp(const std::string& source, const std::string& name) {
    const std::string path = ::testing::TempDir() + "trelmark-e2e-" + std::to_string(getpid()) + "-" + name;
    std::filesystem::copy_file(source, path, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(path, std::filesystem::perms(0755));
    return path;
}

// Some daemons and runtimes end their main thread with pthread_exit and go on
// in other threads. The process and its memory are real: it is measured
// through a live thread. Its thread's id is still no process id, with or
// without pidfd_open (a seccomp filter that predates it answers EPERM).
TEST(ExitedLeader, IsMeasuredThroughALiveThreadWithOrWithoutPidfd) {
    testsupport::Child target({kExitedLeader, "200"});
    const pid_t thread = testsupport::OtherThread(target.Pid());
    ASSERT_GT(thread, 0);
    ASSERT_EQ(testsupport::StatusKilobytes(target.Pid(), "VmRSS"), -1) << "the leader still shows memory";
    const long long mb = testsupport::StatusKilobytes(target.Pid(), "VmRSS", thread) / 1024;
    ASSERT_GE(mb, 200);
    const std::string pid = std::to_string(target.Pid());
    const std::string tid = std::to_string(thread);
    for (const std::vector<std::string>& wrapper : {std::vector<std::string>{}, std::vector<std::string>{kNoPidfd}}) {
        const std::string how = wrapper.empty() ? "with pidfd_open" : "pidfd_open refused";
        std::vector<std::string> argv = wrapper;
        argv.insert(argv.end(), {kProgram, pid, "100", "-v"});
        testsupport::Result r = testsupport::Run(argv);
        EXPECT_EQ(r.out, "\nProcess " + pid + " is using " + std::to_string(mb) +
                             " MB of memory, which is more than the the threshold of 100 MB.\n")
            << how;
        EXPECT_EQ(r.status, 1) << how;
        EXPECT_EQ(r.err, "") << how;

        argv = wrapper;
        argv.insert(argv.end(), {kProgram, tid, "100", "-v"});
        r = testsupport::Run(argv);
        EXPECT_EQ(r.out, Failure("Unable to access the process with identifier " + tid + ": " + kNoProcess)) << how;
        EXPECT_EQ(r.status, kFailed) << how;
        EXPECT_EQ(r.err, "") << how;
    }
}

// With /proc mounted hidepid=..., another user's process is out of sight for
// an unprivileged caller (hidepid=invisible even makes it look absent): the
// check cannot be made, and says so; it never measures "0 MB".
TEST(HiddenProcess, IsAnAccessFailureNeverAMeasurement) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to mount /proc in a private mount namespace";
    const testsupport::Result probe = testsupport::Run(
        {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/mount", "-t", "proc", "-o", "hidepid=invisible",
         "proc", "/proc"});
    if (probe.status != 0) GTEST_SKIP() << "cannot mount /proc with hidepid here: " << probe.err;
    const std::string program = CopyToTemp(kProgram, "Trelmark64");
    testsupport::Child target({kMemhog, "8", "touch"});  // root's
    const std::string pid = std::to_string(target.Pid());
    for (const char* mode : {"invisible", "noaccess", "ptraceable"}) {
        const testsupport::Result r = testsupport::Run(
            {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
             "mount -t proc -o \"hidepid=$0\" proc /proc && exec /usr/bin/setpriv --reuid=65534 --regid=65534 "
             "--clear-groups \"$@\"",
             mode, program, pid, "1", "-v"});
        EXPECT_EQ(r.out, Failure("Unable to access the process with identifier " + pid + ": Access is denied")) << mode;
        EXPECT_EQ(r.status, kFailed) << mode;
        EXPECT_EQ(r.err, "") << mode;
    }
    std::remove(program.c_str());
}

// An upgrade in place replaces the program's file while it runs. The usage
// screen still shows the running program's version, read from its own image.
TEST(ReplacedProgram, UsageShowsTheRunningProgramsVersion) {
    const std::string program = CopyToTemp(kProgram, "replaced");
    const std::string other = CopyToTemp(kMemhog, "replacement");  // an ELF program without a version block
    // The message is far more than the pipe holds: the program cannot reach
    // its usage screen, where it reads its version, before we drain the pipe.
    const std::string name(120000, 'x');
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    fcntl(out[1], F_SETPIPE_SZ, 4096);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);  // anything on stderr shows in the comparison
    const char* argv[] = {program.c_str(), name.c_str(), "10", nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    ASSERT_EQ(spawned, 0);
    std::string text(1, '\0');
    const bool started = read(out[0], &text[0], 1) == 1;  // the program runs: its image is in place
    EXPECT_TRUE(started);
    EXPECT_EQ(std::rename(other.c_str(), program.c_str()), 0);
    char buffer[65536];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int raw = 0;
    waitpid(pid, &raw, 0);
    EXPECT_EQ(text, Failure("Process identifier \"" + name + "\" is not valid"));
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == kFailed) << raw;
    std::remove(program.c_str());
}

}  // namespace
