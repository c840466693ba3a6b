// The Windows executable end to end, run by a Windows test program (under
// Wine here): real CreateProcess, real pipes, the real version resource.
// Expected texts follow the Windows console's text mode: "\n" becomes "\r\n".
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "check/BuildDate.h"
#include "platform/ProcessQuery.h"
#include "platform/Win32.h"
#include "tests/support/ExpectedUsage.h"
#include "windows/WindowsError.h"

#define SECURITY_WIN32
#include <security.h>

namespace {

std::string WindowsPath(std::string path) {
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path[0] == '\\' ? "Z:" + path : path;
}

const std::string kProgram = WindowsPath(TRELMARK_PROGRAM);
const std::string kPlugin = WindowsPath(TRELMARK_PLUGIN);
const std::string kMemhog = WindowsPath(TRELMARK_MEMHOG);
const std::string kTestService = WindowsPath(TRELMARK_TESTSERVICE);

std::string TextMode(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string Failure(const std::string& message) {
    return TextMode("\n" + message + ".\n\n" + ExpectedUsage("1.0.0.54 (" TRELMARK_BUILD_DATE ")"));
}

struct Result {
    DWORD status = 0;
    std::string out, err;
};

std::string ReadAll(HANDLE pipe) {
    std::string text;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
    return text;
}

HANDLE Spawn(const std::string& commandLine, HANDLE in, HANDLE out, HANDLE err) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info{};
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        ADD_FAILURE() << "CreateProcess " << commandLine << ": " << GetLastError();
        return nullptr;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
}

SECURITY_ATTRIBUTES Inheritable() { return SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE}; }

Result Run(const std::string& program, const std::string& arguments) {
    SECURITY_ATTRIBUTES sa = Inheritable();
    HANDLE outRead, outWrite, errRead, errWrite;
    CreatePipe(&outRead, &outWrite, &sa, 0);
    CreatePipe(&errRead, &errWrite, &sa, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    HANDLE process = Spawn("\"" + program + "\" " + arguments, nullptr, outWrite, errWrite);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    Result r;
    r.out = ReadAll(outRead);
    r.err = ReadAll(errRead);
    if (process != nullptr) {
        WaitForSingleObject(process, INFINITE);
        GetExitCodeProcess(process, &r.status);
        CloseHandle(process);
    }
    CloseHandle(outRead);
    CloseHandle(errRead);
    return r;
}

Result Check(const std::string& arguments) { return Run(kProgram, arguments); }
Result Plugin(const std::string& arguments) { return Run(kPlugin, arguments); }
Result Sc(const std::string& arguments) { return Run("sc.exe", arguments); }

// memhog.exe (or a copy of it under another name, or testservice.exe with
// tags for `mode`) holding memory; stops when its stdin closes.
class Memhog {
public:
    Memhog(int megabytes, const char* mode, const std::string& program = kMemhog) {
        SECURITY_ATTRIBUTES sa = Inheritable();
        HANDLE inRead, outWrite;
        CreatePipe(&inRead, &stdin_, &sa, 0);
        CreatePipe(&stdout_, &outWrite, &sa, 0);
        SetHandleInformation(stdin_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(stdout_, HANDLE_FLAG_INHERIT, 0);
        process_ = Spawn("\"" + program + "\" " + std::to_string(megabytes) + " " + mode, inRead, outWrite, outWrite);
        CloseHandle(inRead);
        CloseHandle(outWrite);
        std::string line;
        char c;
        DWORD n;
        while (ReadFile(stdout_, &c, 1, &n, nullptr) && n == 1 && c != '\n') {
            if (c != '\r') line += c;
        }
        pid_ = static_cast<DWORD>(std::stoul(line.empty() ? "0" : line));
        EXPECT_EQ(pid_, process_ ? GetProcessId(process_) : 0);
    }
    ~Memhog() {
        CloseHandle(stdin_);
        if (process_ != nullptr) {
            WaitForSingleObject(process_, 10000);
            CloseHandle(process_);
        }
        CloseHandle(stdout_);
    }
    DWORD Pid() const { return pid_; }
    PROCESS_MEMORY_COUNTERS_EX2 Counters() const {
        PROCESS_MEMORY_COUNTERS_EX2 c{};
        c.cb = sizeof c;
        EXPECT_TRUE(GetProcessMemoryInfo(process_, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&c), sizeof c));
        return c;
    }

private:
    HANDLE process_ = nullptr, stdin_ = nullptr, stdout_ = nullptr;
    DWORD pid_ = 0;
};

struct Case {
    const char* name;
    std::string arguments;
    DWORD status;
    std::string out;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class WineCommandLine : public ::testing::TestWithParam<Case> {};

TEST_P(WineCommandLine, PrintsExactlyAndExits) {
    const Case& c = GetParam();
    const Result r = Check(c.arguments);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, WineCommandLine,
    ::testing::Values(Case{"NoArguments", "", 0xFFFFFFFFu, Failure("Too few arguments")},
                      Case{"LetterIdentifier", "abc 10", 0xFFFFFFFFu, Failure("Process identifier \"abc\" is not valid")},
                      Case{"ZeroThreshold", "12 0 -vm", 0xFFFFFFFFu, Failure("VM size \"0\" is not valid")},
                      Case{"FormatDirectives", "%s%n 10", 0xFFFFFFFFu, Failure("Process identifier \"%s%n\" is not valid")}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(WineProcess, NonexistentProcessCarriesTheSystemsOwnText) {
    // Ids are multiples of 4 on Windows: 4294967291 (-5) names no process.
    const Result r = Check("-5 10 -v");
    EXPECT_EQ(r.out, Failure("Unable to access the process with identifier 4294967291: " +
                             Windows::GetErrorText(ERROR_INVALID_PARAMETER, true)));
    EXPECT_EQ(r.status, 0xFFFFFFFFu);
}

TEST(WineProcess, VerdictsOnBothSidesOfTheWorkingSet) {
    Memhog target(64, "touch");
    const long long mb = static_cast<long long>(target.Counters().WorkingSetSize >> 20);
    ASSERT_GE(mb, 64);
    const std::string pid = std::to_string(target.Pid());
    const std::string head = "\nProcess " + pid + " is using " + std::to_string(mb) + " MB of memory, which is ";

    Result equal = Check(pid + " " + std::to_string(mb) + " -v");
    EXPECT_EQ(equal.out, TextMode(head + "NOT more than the the threshold of " + std::to_string(mb) + " MB.\n"));
    EXPECT_EQ(equal.status, 0u);
    Result below = Check(pid + " " + std::to_string(mb - 1) + " -v");
    EXPECT_EQ(below.out, TextMode(head + "more than the the threshold of " + std::to_string(mb - 1) + " MB.\n"));
    EXPECT_EQ(below.status, 1u);
    Result quiet = Check(pid + " " + std::to_string(mb - 1));
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.status, 1u);
}

TEST(WineProcess, VirtualMemoryIsWhatTheSystemReportsAsPrivateUsage) {
    Memhog target(256, "reserve");
    const long long mb = static_cast<long long>(target.Counters().PrivateUsage >> 20);
    const std::string pid = std::to_string(target.Pid());
    const Result r = Check(pid + " 100 -vm -v");
    const bool more = mb > 100;
    EXPECT_EQ(r.out, TextMode("\nProcess " + pid + " is using " + std::to_string(mb) + " MB of virtual memory, which is " +
                              (more ? "more" : "NOT more") + " than the the threshold of 100 MB.\n"));
    EXPECT_EQ(r.status, more ? 1u : 0u);
    RecordProperty("PrivateUsageMB", static_cast<int>(mb));
}

// check_trelmark.exe: states by id and by image name (any case, .exe
// optional), pidfiles, and the answers that are UNKNOWN.
TEST(WinePlugin, StatesByIdNameAndPidfile) {
    // A name of its own, so that processes of other tests never match.
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
    const std::string stem = "plughog" + std::to_string(GetCurrentProcessId());
    const std::string copy = std::string(temp) + stem + ".exe";
    ASSERT_TRUE(CopyFileA(kMemhog.c_str(), copy.c_str(), FALSE));
    {
        Memhog target(48, "touch", copy);
        const uint64_t bytes = target.Counters().WorkingSetSize;
        const long long mb = static_cast<long long>(bytes >> 20);
        ASSERT_GE(mb, 48);
        const std::string pid = std::to_string(target.Pid());
        const std::string figure = " uses " + std::to_string(mb) + " MB of working memory | working=" +
                                   std::to_string(bytes) + "B;";
        const std::string pidfile = std::string(temp) + stem + ".pid";
        {
            std::FILE* f = std::fopen(pidfile.c_str(), "wb");
            ASSERT_NE(f, nullptr);
            std::fputs((pid + "\r\n").c_str(), f);
            std::fclose(f);
        }
        const std::string lower = std::to_string((mb - 2) * 1048576);
        const std::string bound = std::to_string(mb - 2) + " MB";
        const std::string plain = " uses " + std::to_string(mb) + " MB of working memory";
        const std::string perf = " | working=" + std::to_string(bytes) + "B;";
        const struct {
            std::string arguments;
            DWORD status;
            std::string out;
        } cases[] = {
            {"-p " + pid, 0, "MEMORY OK - " + stem + ".exe (pid " + pid + ")" + figure + ";;0;\n"},
            {"-p " + pid + " -w " + std::to_string(mb - 2), 1,
             "MEMORY WARNING - " + stem + ".exe (pid " + pid + ")" + plain + " (warning above " + bound + ")" + perf +
                 lower + ";;0;\n"},
            {"--pid=" + pid + " -w 100000 -c @" + std::to_string(mb - 2) + ":100000", 2,
             "MEMORY CRITICAL - " + stem + ".exe (pid " + pid + ")" + plain + " (critical from " + bound +
                 " to 100000 MB)" + perf + "104857600000;@" + lower + ":104857600000;0;\n"},
            {"-f " + pidfile, 0, "MEMORY OK - " + stem + ".exe (pid " + pid + ")" + figure + ";;0;\n"},
            {"-C " + stem, 0, "MEMORY OK - 1 process named " + stem + ": pid " + pid + figure + ";;0; processes=1;;;0;\n"},
            {"-C " + stem + ".EXE -c " + std::to_string(mb - 2), 2,
             "MEMORY CRITICAL - 1 process named " + stem + ".EXE: pid " + pid + plain + " (critical above " + bound +
                 ")" + perf + ";" + lower + ";0; processes=1;;;0;\n"},
            {"-C " + stem + " -C " + stem + "x --processes-warning 2:", 1,
             "MEMORY WARNING - 1 process named " + stem + " or " + stem + "x (warning below 2): pid " + pid + figure +
                 ";;0; processes=1;2:;;0;\n"},
            {"-C " + stem + "x", 3, "MEMORY UNKNOWN - no process named " + stem + "x\n"},
            {"-p 4294967291", 3, "MEMORY UNKNOWN - no process with pid 4294967291\n"},
            {"-f " + pidfile + "x", 3, "MEMORY UNKNOWN - cannot read pidfile " + pidfile + "x: No such file or directory\n"},
            {"-p " + pid + " -w 5:1", 3,
             "MEMORY UNKNOWN - invalid warning range \"5:1\"\nUsage: check_trelmark -p PID, -f PIDFILE or any of -C NAME, "
             "-a TEXT, --ereg-argument-array REGEX, -u USER, --service NAME, --cgroup PATH [--children] [-m working, "
             "private, pss, uss, peak, swap, anon, cgroup, cgroup-workingset or cgroup-peak] [-w RANGE] [-c RANGE] "
             "[--processes-warning RANGE] [--processes-critical RANGE] [--sum] [--empty-state STATE] [-t SECONDS] [-v] "
             "[--format=prometheus or --textfile=PATH] [--label NAME=VALUE] [--per-process]\n"},
            {"--version", 3, "check_trelmark 1.0.0.54 (" TRELMARK_BUILD_DATE ")\n"},
        };
        for (const auto& c : cases) {
            const Result r = Plugin(c.arguments);
            EXPECT_EQ(r.out, TextMode(c.out)) << c.arguments;
            EXPECT_EQ(r.err, "") << c.arguments;
            EXPECT_EQ(r.status, c.status) << c.arguments;
        }
        DeleteFileA(pidfile.c_str());
    }
    DeleteFileA(copy.c_str());
}

// The figures Windows keeps: the peak working set, and the private working
// set where the system fills it (Windows 10 1809 and later; not Wine 8), else
// UNKNOWN, never 0. There is no proportional figure to read.
TEST(WinePlugin, PeakAndUniqueAsTheSystemReportsThemPssRefused) {
    Memhog target(48, "touch");
    const PROCESS_MEMORY_COUNTERS_EX2 c = target.Counters();
    ASSERT_GE(c.PeakWorkingSetSize, SIZE_T{48} << 20);
    const std::string pid = std::to_string(target.Pid());
    const std::string who = "memhog.exe (pid " + pid + ") uses ";
    const auto figure = [&](uint64_t bytes, const char* words, const char* label) {
        return "MEMORY OK - " + who + std::to_string(bytes >> 20) + " MB of " + words + " | " + label + "=" +
               std::to_string(bytes) + "B;;;0;\n";
    };
    const struct {
        std::string arguments;
        DWORD status;
        std::string out;
    } cases[] = {
        {"-p " + pid + " -m peak", 0, figure(c.PeakWorkingSetSize, "peak working memory", "peak")},
        {"-p " + pid + " -m uss", c.PrivateWorkingSetSize != 0 ? 0u : 3u,
         c.PrivateWorkingSetSize != 0 ? figure(c.PrivateWorkingSetSize, "unique memory", "uss")
                                      : "MEMORY UNKNOWN - the system does not report the private working set (-m uss) "
                                        "of pid " + pid + "; Windows 10 1809 and later do\n"},
        {"-C memhog --sum -m pss", 3,
         "MEMORY UNKNOWN - Windows keeps no proportional set size (-m pss): use -m uss, the private working set as "
         "Task Manager shows it, which adds up across processes\n"},
        // Figures Windows does not keep: one line naming what to use.
        {"-p " + pid + " -m swap", 3,
         "MEMORY UNKNOWN - Windows keeps no per-process swap figure (-m swap): use -m private, the commit charge, which "
         "counts what was paged out too\n"},
        {"-C memhog --sum -m anon", 3,
         "MEMORY UNKNOWN - Windows keeps no resident anonymous memory (-m anon): use -m uss, the private working set, "
         "or -m private, the commit charge\n"},
        {"--service trelmark-none -m cgroup -w 80%", 3,
         "MEMORY UNKNOWN - -m cgroup reads a Linux control group's own counters, which Windows does not keep: use "
         "--sum -m private for the memory a service's processes have committed\n"},
        {"--cgroup /system.slice -m cgroup-peak", 3,
         "MEMORY UNKNOWN - -m cgroup-peak reads a Linux control group's own counters, which Windows does not keep: use "
         "--sum -m private for the memory a service's processes have committed\n"},
    };
    for (const auto& k : cases) {
        const Result r = Plugin(k.arguments);
        EXPECT_EQ(r.out, TextMode(k.out)) << k.arguments;
        EXPECT_EQ(r.status, k.status) << k.arguments;
    }

    // A share of a process's figure is one of the host's physical memory,
    // as GlobalMemoryStatusEx reports it: the perfdata's bounds in its bytes.
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    ASSERT_TRUE(GlobalMemoryStatusEx(&status));
    const uint64_t host = status.ullTotalPhys;
    const auto millionth = [](uint64_t bytes) {  // bytes * 0.0001%, exactly
        std::string fraction = std::to_string(bytes % 1000000);
        fraction.insert(0, 6 - fraction.size(), '0');
        while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
        return std::to_string(bytes / 1000000) + (fraction.empty() ? "" : "." + fraction);
    };
    // Two decimals of a GB, cut, trailing zeros dropped.
    std::string gigabytes = std::to_string(host * 100 >> 30);
    gigabytes.insert(gigabytes.size() - 2, ".");
    while (gigabytes.back() == '0') gigabytes.pop_back();
    if (gigabytes.back() == '.') gigabytes.pop_back();
    const struct {
        std::string range;
        DWORD status;
        std::string warn;
    } shares[] = {
        {"0.0001%", 1, millionth(host)},
        {"100%", 0, std::to_string(host)},
    };
    for (const auto& k : shares) {
        const Result r = Plugin("-p " + pid + " -m peak -w " + k.range);
        const std::string head = std::string(k.status == 1 ? "MEMORY WARNING - " : "MEMORY OK - ") + who +
                                 std::to_string(c.PeakWorkingSetSize >> 20) + " MB of peak working memory" +
                                 (k.status == 1 ? " (warning above " + k.range + ")" : "") + "; ";
        const std::string tail = " of the host's " + gigabytes + " GB | peak=" + std::to_string(c.PeakWorkingSetSize) +
                                 "B;" + k.warn + ";;0;" + std::to_string(host) + "\n";
        EXPECT_EQ(r.out.rfind(head, 0), 0u) << r.out;
        EXPECT_NE(r.out.find(TextMode(tail)), std::string::npos) << r.out << " vs " << tail;
        EXPECT_EQ(r.status, k.status) << r.out;
    }
    RecordProperty("TotalPhys", std::to_string(host));
    RecordProperty("PeakWorkingSetSize", std::to_string(c.PeakWorkingSetSize));
    RecordProperty("PrivateWorkingSetSize", std::to_string(c.PrivateWorkingSetSize));
}

// A pidfile that is no file (a pipe nobody writes to, which a read would
// wait on) is refused at once, long before the timeout.
TEST(WinePlugin, PipePidfileIsRefusedAtOnce) {
    const std::string pipe = "\\\\.\\pipe\\trelmark-silent-" + std::to_string(GetCurrentProcessId());
    HANDLE server = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    const Result r = Plugin("-f " + pipe + " -t 5");
    EXPECT_EQ(r.out, TextMode("MEMORY UNKNOWN - cannot read pidfile " + pipe + ": not a regular file\n"));
    EXPECT_EQ(r.status, 3u);
    CloseHandle(server);
}

std::string ReadWhole(const std::string& path) {
    std::string text;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return "(missing)";
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
    std::fclose(f);
    return text;
}

// --textfile for windows_exporter's textfile collector: the figures the
// status line carries, in a file replaced whole (LF line ends, as the
// collector reads them); a directory or a pipe at PATH and a missing
// directory are UNKNOWN on one line, leaving what was there.
TEST(WinePlugin, TextfileForWindowsExporter) {
    Memhog target(16, "touch");
    const std::string pid = std::to_string(target.Pid());
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
    const std::string dir = std::string(temp) + "trelmark-textfile-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir.c_str(), nullptr);
    const std::string path = dir + "\\trelmark-memhog.prom";
    const Result r = Plugin("-p " + pid + " --textfile=\"" + path + "\" --label host=win");
    EXPECT_EQ(r.status, 0u) << r.out;
    EXPECT_EQ(r.out.rfind("MEMORY OK - memhog.exe (pid " + pid + ") uses ", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
    const size_t at = r.out.find("| working=");
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string working = r.out.substr(at + 10, r.out.find('B', at) - at - 10);
    const std::string labels = "{selection=\"-p " + pid + "\",host=\"win\"} ";
    const std::string text = ReadWhole(path);
    EXPECT_EQ(text.rfind("# HELP trelmark_state State of the check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n"
                         "# TYPE trelmark_state gauge\ntrelmark_state" + labels + "0\n", 0), 0u) << text;
    EXPECT_NE(text.find("\ntrelmark_processes" + labels + "1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\ntrelmark_working_bytes" + labels + working + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\ntrelmark_private_bytes" + labels), std::string::npos) << text;
    EXPECT_NE(text.find("\ntrelmark_peak_bytes" + labels), std::string::npos) << text;
    EXPECT_EQ(text.find('\r'), std::string::npos);

    const std::string pipe = "\\\\.\\pipe\\trelmark-textfile-" + std::to_string(GetCurrentProcessId());
    const struct {
        std::string path;
        std::string out;  // the start of the line
    } cases[] = {
        {dir, "MEMORY UNKNOWN - cannot write " + dir + ": it is not a regular file; left as it is\r\n"},
        {pipe, "MEMORY UNKNOWN - cannot write " + pipe + ": it is not a regular file; left as it is\r\n"},
        {dir + "\\missing\\x.prom", "MEMORY UNKNOWN - cannot write " + dir + "\\missing\\x.prom: cannot create " + dir +
                                       "\\missing\\x.prom."},
    };
    for (const auto& c : cases) {
        const Result failed = Plugin("-p " + pid + " --textfile=\"" + c.path + "\"");
        EXPECT_EQ(failed.status, 3u) << failed.out;
        EXPECT_EQ(failed.out.rfind(c.out, 0), 0u) << failed.out;
        EXPECT_EQ(failed.out.find('\n'), failed.out.size() - 1) << failed.out;
    }
    EXPECT_EQ(ReadWhole(path), text);  // untouched by the failures
    EXPECT_TRUE(DeleteFileA(path.c_str()));
    EXPECT_TRUE(RemoveDirectoryA(dir.c_str()));  // nothing else was left in it
}

// What the plugin prints for a selection whose processes the test has
// read itself: with --sum, or naming the largest.
struct Figures {
    uint64_t total = 0, largest = 0;
    DWORD largestPid = 0;
    size_t count = 0;
};

Figures WorkingSets(const std::vector<DWORD>& pids) {
    Figures f;
    for (DWORD pid : pids) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, pid);
        PROCESS_MEMORY_COUNTERS c{};
        EXPECT_TRUE(process != nullptr && GetProcessMemoryInfo(process, &c, sizeof c)) << pid;
        if (process != nullptr) CloseHandle(process);
        f.total += c.WorkingSetSize;
        if (c.WorkingSetSize > f.largest) f.largest = c.WorkingSetSize, f.largestPid = pid;
        ++f.count;
    }
    return f;
}

std::string Mb(uint64_t bytes) { return std::to_string(bytes >> 20) + " MB"; }

std::string Summed(const std::string& who, const Figures& f) {
    return "MEMORY OK - " + who + ": " + std::to_string(f.count) + " processes use " + Mb(f.total) +
           " of working memory in total, largest pid " + std::to_string(f.largestPid) + " with " + Mb(f.largest) +
           " | working=" + std::to_string(f.total) + "B;;;0; processes=" + std::to_string(f.count) + ";;;0;\n";
}

std::string Largest(const std::string& who, const Figures& f) {
    const std::string count = f.count == 1 ? "1 process, pid " : std::to_string(f.count) + " processes, largest pid ";
    return "MEMORY OK - " + who + ": " + count + std::to_string(f.largestPid) + " uses " + Mb(f.largest) +
           " of working memory | working=" + std::to_string(f.largest) + "B;;;0; processes=" +
           std::to_string(f.count) + ";;;0;\n";
}

struct PluginCase {
    std::string arguments;
    DWORD status;
    std::string out;
};

void ExpectPlugin(const std::vector<PluginCase>& cases) {
    for (const PluginCase& c : cases) {
        const Result r = Plugin(c.arguments);
        EXPECT_EQ(r.out, TextMode(c.out)) << c.arguments;
        EXPECT_EQ(r.err, "") << c.arguments;
        EXPECT_EQ(r.status, c.status) << c.arguments;
    }
}

// A service installed with sc.exe as an operator would, under a name of its
// own; stopped and deleted however the test ends.
class InstalledService {
public:
    explicit InstalledService(int megabytes) : name_("trelmarktest" + std::to_string(GetCurrentProcessId())) {
        const Result r = Sc("create " + name_ + " binPath= \"\\\"" + kTestService + "\\\" --service " +
                                           std::to_string(megabytes) + "\"");
        EXPECT_EQ(r.status, 0u) << r.out;
    }
    ~InstalledService() {
        Sc("stop " + name_);
        WaitFor(SERVICE_STOPPED);
        Sc("delete " + name_);
    }
    const std::string& Name() const { return name_; }

    // The state reached within 20 s, and the service's process id.
    bool WaitFor(DWORD state, DWORD* pid = nullptr) const {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = OpenServiceA(manager, name_.c_str(), SERVICE_QUERY_STATUS);
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        for (int i = 0; i < 200 && QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                                        sizeof status, &needed) &&
                        status.dwCurrentState != state;
             ++i) {
            Sleep(100);
        }
        if (pid != nullptr) *pid = status.dwProcessId;
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return status.dwCurrentState == state;
    }

private:
    std::string name_;
};

// Every process now, as a snapshot lists it.
std::vector<PROCESSENTRY32> Listed() {
    std::vector<PROCESSENTRY32> listed;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) listed.push_back(entry);
    CloseHandle(snapshot);
    return listed;
}

std::vector<DWORD> ChildrenOf(DWORD parent) {
    std::vector<DWORD> children;
    for (const PROCESSENTRY32& entry : Listed()) {
        if (entry.th32ParentProcessID == parent) children.push_back(entry.th32ProcessID);
    }
    return children;
}

// "name (pid) ..." of each process, for a failure's message.
std::string Names(const std::vector<DWORD>& pids) {
    std::string names;
    for (const PROCESSENTRY32& entry : Listed()) {
        if (std::find(pids.begin(), pids.end(), entry.th32ProcessID) != pids.end()) {
            names += std::string(entry.szExeFile) + " (" + std::to_string(entry.th32ProcessID) + ") ";
        }
    }
    return names;
}

// --service: the process the Service Control Manager names and the
// processes descending from it, then a stopped and an unknown service.
TEST(WineSelection, ServiceRunningStoppedAndUnknown) {
    InstalledService service(24);
    const std::string name = service.Name();
    const Result started = Sc("start " + name);
    ASSERT_EQ(started.status, 0u) << started.out << started.err;
    DWORD pid = 0;
    ASSERT_TRUE(service.WaitFor(SERVICE_RUNNING, &pid));
    const std::vector<DWORD> children = ChildrenOf(pid);
    ASSERT_EQ(children.size(), 1u);
    const std::vector<DWORD> grandchildren = ChildrenOf(children[0]);
    ASSERT_EQ(grandchildren.size(), 1u) << Names(grandchildren);
    const Figures all = WorkingSets({pid, children[0], grandchildren[0]});
    ASSERT_EQ(all.largestPid, children[0]);
    const std::string missing = name + "x";
    ExpectPlugin({
        {"--service " + name + " --sum", 0, Summed("service " + name, all)},
        {"--service " + name, 0, Largest("service " + name, all)},
        {"--service " + name + " -a service-child", 0,
         Largest("--service " + name + " -a service-child", WorkingSets({children[0]}))},
        {"--service " + missing, 3, "MEMORY UNKNOWN - no service named " + missing + "\n"},
        // --children: the same tree of three generations from its top, or from the child.
        {"-p " + std::to_string(pid) + " --children --sum", 0, Summed("pid " + std::to_string(pid) + " with descendants", all)},
        {"-a service-child --children", 0,
         Largest("-a service-child with descendants", WorkingSets({children[0], grandchildren[0]}))},
        {"--service " + name + " --processes-critical 3:3 --processes-warning 2", 1,
         "MEMORY WARNING - service " + name + ": 3 processes (warning above 2), largest pid " +
             std::to_string(all.largestPid) + " uses " + Mb(all.largest) + " of working memory | working=" +
             std::to_string(all.largest) + "B;;;0; processes=3;2;3:3;0;\n"},
    });

    ASSERT_EQ(Sc("stop " + name).status, 0u);
    ASSERT_TRUE(service.WaitFor(SERVICE_STOPPED));
    const std::string stopped = "service " + name + " is not running (stopped)\n";
    ExpectPlugin({
        {"--service " + name, 3, "MEMORY UNKNOWN - " + stopped},
        {"--service " + name + " --empty-state=critical", 2, "MEMORY CRITICAL - " + stopped},
        {"--service " + name + " --empty-state=ok --sum", 0, "MEMORY OK - " + stopped},
    });
}

// DOMAIN\name of this test's account.
std::string OwnAccount() {
    char name[512];
    ULONG length = sizeof name;
    EXPECT_TRUE(GetUserNameExA(NameSamCompatible, name, &length));
    return name;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return text;
}

// -a, --ereg-argument-array and -u tell processes of one program apart,
// on the longest command line Windows allows too.
TEST(WineSelection, CommandLinesAndOwners) {
    const std::string id = std::to_string(GetCurrentProcessId());
    const std::string alpha = "alpha" + id, beta = "beta" + id, tail = "Z" + id;
    // CreateProcess takes at most 32767 characters with the final NUL.
    const std::string head = "\"" + kTestService + "\" 8 ";
    std::string pairs;
    while (head.size() + pairs.size() + tail.size() < 32766) pairs += "ab"[pairs.size() % 2];
    Memhog a(16, alpha.c_str(), kTestService), b(24, beta.c_str(), kTestService);
    Memhog longest(8, (pairs + tail).c_str(), kTestService);
    const Figures first = WorkingSets({a.Pid()}), second = WorkingSets({b.Pid()});
    const Figures both = WorkingSets({a.Pid(), b.Pid()});
    // Without the right to read its memory a line is refused with the reason.
    HANDLE limited = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, a.Pid());
    std::string line;
    EXPECT_FALSE(platform::ReadCommandLine(limited, &line));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(limited);


    const std::string account = OwnAccount();
    ExpectPlugin({
        {"-a " + beta, 0, Largest("-a " + beta, second)},
        {"-a gamma" + id, 3, "MEMORY UNKNOWN - no process matches -a gamma" + id + "\n"},
        {"--ereg-argument-array \"(alpha|beta)" + id + "$\" --sum", 0,
         Summed("--ereg-argument-array (alpha?beta)" + id + "$", both)},
        // The whole line, read and matched: 32 KiB of (a|b)*, on which the
        // library's default matcher would overflow the stack.
        {"--ereg-argument-array \"8 (a|b)*" + tail + "$\"", 0,
         Largest("--ereg-argument-array 8 (a?b)*" + tail + "$", WorkingSets({longest.Pid()}))},
        {"--ereg-argument-array \"8 (a|b)*Y" + id + "$\"", 3,
         "MEMORY UNKNOWN - no process matches --ereg-argument-array 8 (a?b)*Y" + id + "$\n"},
        {"--ereg-argument-array \"(a|b\"", 3,
         "MEMORY UNKNOWN - invalid regular expression \"(a?b\": Mismatched '(' and ')' in regular expression\n"},
        // Valid expressions whose automata outgrow what a check may hold.
        {"--ereg-argument-array \"(((a{1,100}){1,100}){1,100}){1,100}\"", 3,
         "MEMORY UNKNOWN - out of memory: a check may hold at most 64 MB\n"},
        {"--ereg-argument-array \"a{1,32767}b{1,32767}c{1,32767}\"", 3,
         "MEMORY UNKNOWN - out of memory: a check may hold at most 64 MB\n"},
        // A long value is echoed cut to its start.
        {"-a " + std::string(30000, 'q'), 3, "MEMORY UNKNOWN - no process matches -a " + std::string(157, 'q') + "...\n"},
        {"-u " + account + " -a " + alpha, 0, Largest("-u " + account + " -a " + alpha, first)},
        {"-u " + Upper(account) + " -a " + alpha, 0, Largest("-u " + Upper(account) + " -a " + alpha, first)},
        {"-u nosuchuser" + id, 3, "MEMORY UNKNOWN - no user named nosuchuser" + id + "\n"},
        {"--cgroup /system.slice -a " + alpha, 3,
         "MEMORY UNKNOWN - control groups are a Linux feature: --cgroup cannot select processes on Windows\n"},
    });
    // Every process of the account: at least the three above and this test.
    const Result all = Plugin("-u " + account + " --sum");
    EXPECT_EQ(all.out.rfind("MEMORY OK - user " + account + ": ", 0), 0u) << all.out;
    EXPECT_EQ(all.status, 0u);
    RecordProperty("Account", account);
}

// Expressions the standard library could not compile or run on the stack
// are refused by length; the longest accepted one runs.
TEST(WineSelection, LongestExpressionCompilesAndMatches) {
    const std::string nested = std::string(1365, '(') + "a" + std::string(1365, ')');
    const std::string text(8192, 'a');
    struct {
        std::string expression;
        bool compiles;
        bool matches;
    } cases[] = {
        {std::string(4096, 'a'), true, true},
        {std::string(4097, 'a'), false, false},
        {nested + std::string(4096 - nested.size(), 'a'), true, true},
    };
    for (const auto& c : cases) {
        platform::Pattern pattern;
        std::string error;
        EXPECT_EQ(pattern.Compile(c.expression, &error), c.compiles) << c.expression.size();
        EXPECT_EQ(error, c.compiles ? "" : "longer than 4096 characters");
        EXPECT_EQ(pattern.Matches(text), c.matches) << c.expression.size();
    }
}

}  // namespace
