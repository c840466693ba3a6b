// check_trelmark --textfile as a textfile collector's writer: the file is
// replaced whole with the collector's mode, or left as it was with UNKNOWN on
// one line; a timeout still writes the state.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/Subprocess.h"

namespace {

namespace fs = std::filesystem;

const std::string kPlugin = TRELMARK_PLUGIN;

// A fresh directory of the test's own.
std::string Folder(const std::string& name) {
    const std::string dir = ::testing::TempDir() + "trelmark-textfile-" + std::to_string(getpid()) + "-" + name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::set<std::string> Names(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

// The state and, when `processes` is given, the counts (none unreadable).
std::string Head(const std::string& selection, int state, int processes = -1) {
    const std::string labels = "{selection=\"" + selection + "\"} ";
    std::string text = "# HELP trelmark_state State of the check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n"
                       "# TYPE trelmark_state gauge\ntrelmark_state" + labels + std::to_string(state) + "\n";
    if (processes < 0) return text;
    return text + "# HELP trelmark_processes Processes the selection matched, read or not.\n"
                  "# TYPE trelmark_processes gauge\ntrelmark_processes" + labels + std::to_string(processes) + "\n"
                  "# HELP trelmark_unreadable_processes Processes the selection matched that could not be read.\n"
                  "# TYPE trelmark_unreadable_processes gauge\ntrelmark_unreadable_processes" + labels + "0\n";
}

// A process's figures, written with the umask's mode (027: neither the old
// file's 0600 nor 0644 whatever the umask); nothing left beside the file.
TEST(PluginTextfile, ReplacesTheFileWholeWithTheCollectorsMode) {
    testsupport::Child hog({TRELMARK_MEMHOG, "16", "touch"});
    const std::string pid = std::to_string(hog.Pid()), dir = Folder("mode"), path = dir + "/app.prom";
    Write(path, "old\n");
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    const testsupport::Result r =
        testsupport::Run({"/bin/sh", "-c", "umask 027; exec \"$0\" \"$@\"", kPlugin, "-p", pid, "--textfile=" + path});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.err, "");
    struct stat status;
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    std::string text = Read(path);
    EXPECT_EQ(text.rfind(Head("-p " + pid, 0, 1), 0), 0u) << text;
    EXPECT_EQ(Names(dir), std::set<std::string>{"app.prom"});
    // The anonymous and swapped-out memory as status has them: the hog holds
    // still, but a sanitizer's own threads may touch a page now and then, and
    // the kernel may move one: a run that gives the figure read just before
    // and after it is looked for, and compared.
    for (const auto& [key, metric] : {std::pair{"RssAnon", "trelmark_anon_bytes"}, {"VmSwap", "trelmark_swap_bytes"}}) {
        const auto series = [&, metric = metric](long long kb) {
            return "\n" + (metric + ("{selection=\"-p " + pid + "\"} ") + std::to_string(kb * 1024)) + "\n";
        };
        long long before = 0, after = -1;
        for (int attempt = 0; attempt < 20 && (before != after || text.find(series(before)) == std::string::npos); ++attempt) {
            before = testsupport::StatusKilobytes(hog.Pid(), key);
            testsupport::Run({kPlugin, "-p", pid, "--textfile=" + path});
            text = Read(path);
            after = testsupport::StatusKilobytes(hog.Pid(), key);
        }
        ASSERT_EQ(before, after) << key;
        EXPECT_NE(text.find(series(before)), std::string::npos) << series(before) << " in " << text;
    }
    hog.Stop();
}

// A control group's own figure decides the state: the line is printed and
// every series of the file, the group's figures too, carries the run's
// labels (the check completes the run's options, which the file is written
// from afterwards). The test's own group on the v1 memory controller, read
// only.
TEST(PluginTextfile, AGroupsFigureKeepsTheRunsLabels) {
    std::string own;
    std::ifstream cgroups("/proc/self/cgroup");
    for (std::string line; std::getline(cgroups, line);) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos && line.compare(colon, 8, ":memory:") == 0) own = line.substr(colon + 8);
    }
    if (own.empty() || own == "/" || !fs::exists("/sys/fs/cgroup/memory" + own + "/memory.usage_in_bytes")) {
        GTEST_SKIP() << "needs a memory group of its own on cgroup v1";
    }
    const std::string dir = Folder("group"), path = dir + "/g.prom";
    const auto kernelPeak = [&] { return std::stoull(Read("/sys/fs/cgroup/memory" + own + "/memory.max_usage_in_bytes")); };
    const uint64_t peakBefore = kernelPeak();
    const testsupport::Result r = testsupport::Run({kPlugin, "--cgroup", own, "-m", "cgroup", "--textfile=" + path});
    const uint64_t peakAfter = kernelPeak();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.rfind("MEMORY OK - control group " + own + " holds ", 0), 0u) << r.out;
    const std::string text = Read(path);
    EXPECT_EQ(text.rfind(Head("--cgroup " + own, 0), 0), 0u) << text;
    const std::string labels = "{selection=\"--cgroup " + own + "\"} ";
    std::vector<std::string> names;
    std::vector<uint64_t> values;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("#", 0) == 0) continue;
        const size_t brace = line.find('{');
        names.push_back(line.substr(0, brace));
        values.push_back(std::stoull(line.substr(line.rfind(' ') + 1)));
        EXPECT_EQ(line.compare(brace, labels.size(), labels), 0) << line;
    }
    ASSERT_GE(names.size(), 4u) << text;
    names.resize(4);  // then the limit, where the group has one
    EXPECT_EQ(names, (std::vector<std::string>{"trelmark_state", "trelmark_cgroup_bytes", "trelmark_cgroup_workingset_bytes",
                                               "trelmark_cgroup_peak_bytes"}));
    // Each figure from its own file in one pass: the peak as the kernel kept
    // it around the run, the working set within the charge.
    EXPECT_TRUE(peakBefore <= values[3] && values[3] <= peakAfter) << peakBefore << ".." << peakAfter << ": " << text;
    EXPECT_LE(values[2], values[1]) << text;
}

// Each way the file cannot be written: UNKNOWN with the reason on one line,
// exit 3, and whatever stood at PATH as it was.
TEST(PluginTextfile, FailuresLeaveTheOldFileAndSayWhy) {
    const std::string dir = Folder("failures");
    Write(dir + "/kept.prom", "old\n");
    ASSERT_EQ(mkfifo((dir + "/fifo.prom").c_str(), 0644), 0);
    fs::create_symlink(dir + "/kept.prom", dir + "/link.prom");
    fs::create_directories(dir + "/locked");
    Write(dir + "/locked/kept.prom", "old\n");
    ASSERT_EQ(chmod((dir + "/locked").c_str(), 0555), 0);
    // Root may write any directory: the read-only one is tried as nobody.
    std::vector<std::string> nobody;
    if (getuid() == 0) {
        nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        for (std::string up = dir; up.size() > 1 && up != "/tmp"; up = fs::path(up).parent_path().string()) {
            struct stat s;
            if (stat(up.c_str(), &s) == 0 && (s.st_mode & S_IXOTH) == 0) GTEST_SKIP() << up << " is closed to nobody";
        }
    }
    const struct {
        std::string path;
        bool asNobody;
        std::string out;  // after "MEMORY UNKNOWN - cannot write <path>: "; # for the pid
        bool sizeLimited = false;  // under ulimit -f 0: the write fails, the check lives on
    } cases[] = {
        {dir + "/missing/x.prom", false, "cannot create " + dir + "/missing/x.prom.#.tmp: No such file or directory"},
        {dir + "/locked/kept.prom", true, "cannot create " + dir + "/locked/kept.prom.#.tmp: Permission denied"},
        // Not followed, nor opened: a FIFO would block.
        {dir + "/fifo.prom", false, "it is not a regular file; left as it is"},
        {dir + "/link.prom", false, "it is not a regular file; left as it is"},
        {dir + "/kept.prom", false, "cannot write " + dir + "/kept.prom.#.tmp: File too large", true},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = c.asNobody ? nobody : std::vector<std::string>{};
        if (c.sizeLimited) argv = {"/bin/sh", "-c", "ulimit -f 0 && exec \"$0\" \"$@\""};
        argv.insert(argv.end(), {kPlugin, "-p", std::to_string(getpid()), "--textfile", c.path});
        const testsupport::Result r = testsupport::Run(argv);
        EXPECT_EQ(r.status, 3) << r.out;
        EXPECT_EQ(r.err, "");
        std::string out = r.out;  // the temporary's name holds the plugin's pid
        const size_t tmp = out.find(".tmp: "), digits = out.find_last_not_of("0123456789", tmp - 1) + 1;
        if (tmp != std::string::npos) out.replace(digits, tmp - digits, "#");
        EXPECT_EQ(out, "MEMORY UNKNOWN - cannot write " + c.path + ": " + c.out + "\n") << r.out;
    }
    EXPECT_EQ(Read(dir + "/kept.prom"), "old\n");
    EXPECT_EQ(Read(dir + "/locked/kept.prom"), "old\n");
    EXPECT_TRUE(fs::is_fifo(dir + "/fifo.prom"));
    EXPECT_TRUE(fs::is_symlink(dir + "/link.prom"));
    EXPECT_EQ(Names(dir), (std::set<std::string>{"kept.prom", "fifo.prom", "link.prom", "locked"}));
    ASSERT_EQ(chmod((dir + "/locked").c_str(), 0755), 0);
}

// Nothing selected, a process gone, a timeout: the file still holds the
// state (and the counts where they are known), no figure. A check that
// hangs: the watchdog writes the state, prints it, or says it could not.
TEST(PluginTextfile, NothingToMeasureStillWritesTheState) {
    const std::string dir = Folder("states"), path = dir + "/x.prom", hung = dir + "/hung.pid";
    const std::string none = "tmk" + std::to_string(getpid()) + "none";
    Write(hung, "1\n");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, file;  // file: what PATH holds after
    } cases[] = {
        {{"-C", none, "--empty-state", "ok", "--textfile", path}, 0, "MEMORY OK - no process named " + none + "\n",
         Head("-C " + none, 0, 0)},
        {{"-p", "4194304", "--textfile", path}, 0, "MEMORY UNKNOWN - no process with pid 4194304\n",
         Head("-p 4194304", 3, 0)},
        {{TRELMARK_HANGOPEN, "-f", hung, "-t", "1", "--textfile", path}, 0, "MEMORY UNKNOWN - timed out after 1 s\n",
         Head("-f " + hung, 3)},
        {{TRELMARK_HANGOPEN, "-f", hung, "-t", "1", "--format=prometheus"}, 0, Head("-f " + hung, 3),
         Head("-f " + hung, 3)},
        {{TRELMARK_HANGOPEN, "-f", hung, "-t", "1", "--textfile", dir + "/no/x.prom"}, 3,
         "MEMORY UNKNOWN - timed out after 1 s; the textfile could not be written\n", Head("-f " + hung, 3)},
    };
    for (const auto& c : cases) {
        // hangopen runs the plugin it is given first.
        std::vector<std::string> argv = c.args;
        argv.insert(argv.begin() + (c.args[0] == TRELMARK_HANGOPEN), kPlugin);
        const testsupport::Result r = testsupport::Run(argv);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(Read(path), c.file);
    }
    EXPECT_EQ(Names(dir), (std::set<std::string>{"x.prom", "hung.pid"}));
}

}  // namespace
