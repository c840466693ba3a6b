// Names the name services know, through getent: its answer parsed as
// untrusted input, and the child it runs holding nothing of the caller's.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/linux/Getent.h"

namespace {

TEST(Getent, ParsesOnePasswdLineAndNothingElse) {
    const struct {
        std::string text;
        bool ok;
        uint32_t uid;
    } cases[] = {
        {"alice:x:61234:100:Alice:/home/alice:/bin/sh\n", true, 61234},
        {"root:x:0:0:root:/root:/bin/bash\n", true, 0},
        {"n:x:4294967294:1::/:\n", true, 4294967294u},
        {"n:x:4294967295:1::/:\n", false, 0},   // (uid_t) -1 is no user
        {"n:x:99999999999:1::/:\n", false, 0},  // more than ten digits
        {"n:x:12a:1::/:\n", false, 0},
        {"n:x::1::/:\n", false, 0},
        {":x:5:1::/:\n", false, 0},             // no name
        {"n:x:5:1::/\n", false, 0},             // six fields
        {"n:x:5:1::/::\n", false, 0},           // eight
        {"n:x:5:1::/:", false, 0},              // no line end
        {"n:x:5:1::/:\nm:x:6:1::/:\n", false, 0},  // two entries
        {std::string("n:x:5\0:1::/:\n", 13), false, 0},
        {"", false, 0},
    };
    for (const auto& c : cases) {
        uint32_t uid = 7;
        EXPECT_EQ(linuxapi::ParseGetentPasswd(c.text.data(), c.text.size(), &uid), c.ok) << c.text;
        EXPECT_EQ(uid, c.ok ? c.uid : 7u) << c.text;
    }
}

TEST(Getent, HandsOnlyPlainNamesToGetent) {
    const struct {
        std::string name;
        bool ok;
    } cases[] = {
        {"alice", true}, {"-x", true}, {"héllo", true}, {std::string(256, 'a'), true},
        {std::string(257, 'a'), false}, {"", false}, {"a:b", false}, {"a\nb", false}, {"a\x7f", false},
    };
    for (const auto& c : cases) EXPECT_EQ(linuxapi::IsAccountName(c.name.c_str()), c.ok) << c.name;
}

class GetentProgram : public ::testing::Test {
protected:
    std::string Script(const std::string& name, const std::string& body) {
        const std::string path = ::testing::TempDir() + "trelmark-getent-" + std::to_string(getpid()) + "-" + name;
        std::ofstream(path, std::ios::trunc) << "#!/bin/sh\n" << body;
        chmod(path.c_str(), 0755);
        paths_.push_back(path);
        return path;
    }
    void TearDown() override {
        for (const std::string& path : paths_) unlink(path.c_str());
    }
    std::vector<std::string> paths_;
};

TEST_F(GetentProgram, AnswersFoundMissingOrWhyNot) {
    const struct {
        std::string body;
        linuxapi::AccountLookup result;
        uint32_t uid;
        std::string reason;
    } cases[] = {
        {"echo \"$3:x:4242:1::/:\"\n", linuxapi::AccountLookup::Found, 4242, ""},
        {"exit 2\n", linuxapi::AccountLookup::Missing, 0, ""},
        {"echo 'x:x:1:1::/:'; exit 1\n", linuxapi::AccountLookup::Failed, 0, " failed (exit status 1)"},
        {"echo garbage\n", linuxapi::AccountLookup::Failed, 0, " gave no passwd entry"},
        // An answer beyond 64 KiB is not read to its end: the child is killed.
        {"yes 'n:x:1:1::/:' | head -c 200000; sleep 30\n", linuxapi::AccountLookup::Failed, 0, " was killed by signal 9"},
        {"", linuxapi::AccountLookup::Failed, 0, " failed (exit status 127)"},  // no such program
    };
    int i = 0;
    for (const auto& c : cases) {
        const std::string program = c.body.empty() ? "/nonexistent/getent" : Script(std::to_string(i++), c.body);
        uint32_t uid = 0;
        std::string reason;
        EXPECT_EQ(linuxapi::LookUpAccount(program.c_str(), "someone", &uid, &reason), c.result) << c.body;
        EXPECT_EQ(uid, c.uid) << c.body;
        EXPECT_EQ(reason, c.reason.empty() ? "" : program + c.reason) << c.body;
    }
}

// An agent that ignores SIGCHLD hands that on to the check: getent's exit
// status is still seen, and the caller's disposition is given back.
TEST_F(GetentProgram, SeesTheExitStatusWhenTheCallerIgnoresSigchld) {
    const std::string missing = Script("missing", "exit 2\n"), found = Script("found", "echo 'n:x:77:1::/:'\n");
    struct sigaction ignore = {}, saved = {}, after = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGCHLD, &ignore, &saved), 0);
    uint32_t uid = 0;
    std::string reason;
    const linuxapi::AccountLookup first = linuxapi::LookUpAccount(missing.c_str(), "x", &uid, &reason);
    const linuxapi::AccountLookup second = linuxapi::LookUpAccount(found.c_str(), "x", &uid, &reason);
    sigaction(SIGCHLD, &saved, &after);
    EXPECT_EQ(first, linuxapi::AccountLookup::Missing) << reason;
    EXPECT_EQ(second, linuxapi::AccountLookup::Found) << reason;
    EXPECT_EQ(uid, 77u);
    EXPECT_EQ(after.sa_handler, SIG_IGN);
}

// getent runs with a clean environment, its arguments as given, no
// descriptor of the caller's, and no capability, even when the caller (root
// here, or a plugin given CAP_SYS_PTRACE) holds them.
TEST_F(GetentProgram, RunsWithNothingOfTheCallers) {
    const std::string out = ::testing::TempDir() + "trelmark-getent-probe-" + std::to_string(getpid());
    const int inherited = open("/dev/null", O_RDONLY);  // no close-on-exec
    ASSERT_GT(inherited, 2);
    const std::string program = Script("probe",
        "{ echo \"args=$*\"; env | sort; for fd in 0 1 2 " + std::to_string(inherited) + "; do [ -e /proc/$$/fd/$fd ] && echo \"fd $fd\"; done;"
        "  grep -E '^(CapInh|CapPrm|CapEff|CapAmb|NoNewPrivs)' /proc/$$/status; } > \"$3\"\n"
        "echo \"n:x:5:5::/:\"\n");
    setenv("TRELMARK_SECRET", "leaked", 1);
    uint32_t uid = 0;
    std::string reason;
    EXPECT_EQ(linuxapi::LookUpAccount(program.c_str(), out.c_str(), &uid, &reason), linuxapi::AccountLookup::Found) << reason;
    unsetenv("TRELMARK_SECRET");
    close(inherited);
    std::stringstream seen;
    seen << std::ifstream(out).rdbuf();
    unlink(out.c_str());
    EXPECT_EQ(seen.str(), "args=passwd -- " + out + "\nLC_ALL=C\nPATH=/usr/bin:/bin\nPWD=" +
                              std::filesystem::current_path().string() + "\nfd 0\nfd 1\nfd 2\n"
                              "CapInh:\t0000000000000000\nCapPrm:\t0000000000000000\nCapEff:\t0000000000000000\n"
                              "CapAmb:\t0000000000000000\nNoNewPrivs:\t1\n");
}

}  // namespace
