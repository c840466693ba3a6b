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
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::set<std::string> Names(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

std::string StateOnly(const std::string& selection, int state) {
    return "# HELP trelmark_state State of the check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n"
           "# TYPE trelmark_state gauge\n"
           "trelmark_state{selection=\"" + selection + "\"} " + std::to_string(state) + "\n";
}

std::string Counts(const std::string& selection, int state, int processes, int unreadable) {
    return StateOnly(selection, state) +
           "# HELP trelmark_processes Processes the selection matched, read or not.\n"
           "# TYPE trelmark_processes gauge\n"
           "trelmark_processes{selection=\"" + selection + "\"} " + std::to_string(processes) + "\n"
           "# HELP trelmark_unreadable_processes Processes the selection matched that could not be read.\n"
           "# TYPE trelmark_unreadable_processes gauge\n"
           "trelmark_unreadable_processes{selection=\"" + selection + "\"} " + std::to_string(unreadable) + "\n";
}

// A process's figures, written with the umask's mode; one status line out,
// exit 0 whatever the state; nothing left beside the file.
TEST(PluginTextfile, ReplacesTheFileWholeWithTheCollectorsMode) {
    testsupport::Child hog({TRELMARK_MEMHOG, "16", "touch"});
    const std::string pid = std::to_string(hog.Pid());
    const std::string dir = Folder("mode");
    const std::string path = dir + "/app.prom";
    Write(path, "old\n");
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    for (const char* umask : {"022", "027", "077"}) {
        const testsupport::Result r = testsupport::Run(
            {"/bin/sh", "-c", std::string("umask ") + umask + "; exec \"$0\" \"$@\"", kPlugin, "-p", pid, "-c", "1",
             "--textfile=" + path});
        EXPECT_EQ(r.status, 0) << r.out;  // CRITICAL is in the file
        EXPECT_EQ(r.out.rfind("MEMORY CRITICAL - pid ", 0) == 0 || r.out.rfind("MEMORY CRITICAL - memhog (pid ", 0) == 0,
                  true)
            << r.out;
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
        EXPECT_EQ(r.err, "");
        struct stat status;
        ASSERT_EQ(stat(path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0644u & ~std::stoul(umask, nullptr, 8)) << umask;
        const std::string text = Read(path);
        EXPECT_EQ(text.rfind(StateOnly("-p " + pid, 2), 0), 0u) << text;
        EXPECT_NE(text.find("\ntrelmark_processes{selection=\"-p " + pid + "\"} 1\n"), std::string::npos) << text;
        EXPECT_NE(text.find("\ntrelmark_working_bytes{selection=\"-p " + pid + "\"} "), std::string::npos) << text;
        EXPECT_EQ(Names(dir), std::set<std::string>{"app.prom"});
    }
    // The anonymous and swapped-out memory as status has them: the hog holds
    // still, but a sanitizer's own threads may touch a page now and then, so
    // a run between two equal readings is compared.
    for (const char* key : {"RssAnon", "VmSwap"}) {
        const std::string metric = std::string(key) == "RssAnon" ? "trelmark_anon_bytes" : "trelmark_swap_bytes";
        long long before = 0, after = -1;
        std::string text;
        for (int attempt = 0; attempt < 20 && before != after; ++attempt) {
            before = testsupport::StatusKilobytes(hog.Pid(), key);
            testsupport::Run({kPlugin, "-p", pid, "--textfile=" + path});
            text = Read(path);
            after = testsupport::StatusKilobytes(hog.Pid(), key);
        }
        ASSERT_EQ(before, after) << key;
        EXPECT_NE(text.find("\n" + metric + "{selection=\"-p " + pid + "\"} " + std::to_string(before * 1024) + "\n"),
                  std::string::npos)
            << key << ": " << text;
    }
    hog.Stop();
}

// Each way the file cannot be written: UNKNOWN with the reason on one line,
// exit 3, and whatever stood at PATH as it was.
TEST(PluginTextfile, FailuresLeaveTheOldFileAndSayWhy) {
    const std::string dir = Folder("failures");
    Write(dir + "/kept.prom", "old\n");
    fs::create_directories(dir + "/sub.prom");
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
        std::string out;  // after "MEMORY UNKNOWN - cannot write <path>: "
    } cases[] = {
        {dir + "/missing/x.prom", false, "cannot create " + dir + "/missing/x.prom.#.tmp: No such file or directory"},
        {dir + "/locked/kept.prom", true, "cannot create " + dir + "/locked/kept.prom.#.tmp: Permission denied"},
        {dir + "/sub.prom", false, "it is not a regular file; left as it is"},
        {dir + "/fifo.prom", false, "it is not a regular file; left as it is"},
        {dir + "/link.prom", false, "it is not a regular file; left as it is"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = c.asNobody ? nobody : std::vector<std::string>{};
        argv.insert(argv.end(), {kPlugin, "-p", std::to_string(getpid()), "--textfile", c.path});
        const testsupport::Result r = testsupport::Run(argv);
        EXPECT_EQ(r.status, 3) << r.out;
        EXPECT_EQ(r.err, "");
        // The temporary file's name holds the plugin's pid.
        std::string out = r.out;
        const size_t hash = c.out.find('#');
        if (hash != std::string::npos) {
            const size_t at = std::string("MEMORY UNKNOWN - cannot write " + c.path + ": ").size() + hash;
            const size_t end = out.find('.', at);
            if (at < out.size() && end != std::string::npos) out.replace(at, end - at, "#");
        }
        EXPECT_EQ(out, "MEMORY UNKNOWN - cannot write " + c.path + ": " + c.out + "\n") << r.out;
    }
    EXPECT_EQ(Read(dir + "/kept.prom"), "old\n");
    EXPECT_EQ(Read(dir + "/locked/kept.prom"), "old\n");
    EXPECT_TRUE(fs::is_directory(dir + "/sub.prom") && fs::is_empty(dir + "/sub.prom"));
    EXPECT_TRUE(fs::is_fifo(dir + "/fifo.prom"));
    EXPECT_TRUE(fs::is_symlink(dir + "/link.prom"));
    EXPECT_EQ(Names(dir), (std::set<std::string>{"kept.prom", "sub.prom", "fifo.prom", "link.prom", "locked"}));
    EXPECT_EQ(Names(dir + "/locked"), std::set<std::string>{"kept.prom"});
    ASSERT_EQ(chmod((dir + "/locked").c_str(), 0755), 0);
}

// Nothing selected, a process gone, a timeout: the file still holds the
// state (and the counts where they are known), no figure.
TEST(PluginTextfile, NothingToMeasureStillWritesTheState) {
    const std::string dir = Folder("states");
    const std::string path = dir + "/x.prom";
    const std::string none = "tmk" + std::to_string(getpid()) + "none";
    const struct {
        std::vector<std::string> args;
        std::string file;
        std::string out;
    } cases[] = {
        {{"-C", none}, Counts("-C " + none, 3, 0, 0), "MEMORY UNKNOWN - no process named " + none + "\n"},
        {{"-C", none, "--empty-state", "ok"}, Counts("-C " + none, 0, 0, 0), "MEMORY OK - no process named " + none + "\n"},
        {{"-p", "4194304"}, Counts("-p 4194304", 3, 0, 0), "MEMORY UNKNOWN - no process with pid 4194304\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {kPlugin, "--textfile", path};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const testsupport::Result r = testsupport::Run(argv);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << r.out;
        EXPECT_EQ(Read(path), c.file);
    }

    // A check that hangs: the watchdog writes the state, or says it could not.
    const std::string hung = dir + "/hung.pid";
    Write(hung, "1\n");
    const testsupport::Result timed = testsupport::Run({TRELMARK_HANGOPEN, kPlugin, "-f", hung, "-t", "1", "--textfile", path});
    EXPECT_EQ(timed.out, "MEMORY UNKNOWN - timed out after 1 s\n");
    EXPECT_EQ(timed.status, 0);
    EXPECT_EQ(Read(path), StateOnly("-f " + hung, 3));
    const testsupport::Result printed = testsupport::Run({TRELMARK_HANGOPEN, kPlugin, "-f", hung, "-t", "1", "--format=prometheus"});
    EXPECT_EQ(printed.out, StateOnly("-f " + hung, 3));
    EXPECT_EQ(printed.status, 0);
    const testsupport::Result unwritable =
        testsupport::Run({TRELMARK_HANGOPEN, kPlugin, "-f", hung, "-t", "1", "--textfile", dir + "/no/x.prom"});
    EXPECT_EQ(unwritable.out, "MEMORY UNKNOWN - timed out after 1 s; the textfile could not be written\n");
    EXPECT_EQ(unwritable.status, 3);
    EXPECT_EQ(Names(dir), (std::set<std::string>{"x.prom", "hung.pid"}));
}

}  // namespace
