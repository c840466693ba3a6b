// The /proc status and smaps_rollup parsers on well-formed, odd and hostile text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/ProcStatus.h"

namespace {

const char kStatus[] =
    "Name:\tmemhog\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t1234\nPid:\t1234\n"
    "VmPeak:\t  270644 kB\nVmSize:\t  270644 kB\nVmHWM:\t    2048 kB\nVmRSS:\t    1536 kB\n"
    "RssAnon:\t     100 kB\nVmData:\t  262400 kB\nVmStk:\t     132 kB\nVmExe:\t       8 kB\nThreads:\t1\n";

bool Parse(const std::string& text, linuxapi::ProcStatusCounters* counters, size_t chunk = 0) {
    linuxapi::ProcStatusParser parser;
    if (chunk == 0) chunk = text.size() + 1;
    for (size_t at = 0; at < text.size(); at += chunk) parser.Feed(text.data() + at, std::min(chunk, text.size() - at));
    return parser.Finish(counters);
}

TEST(ProcStatus, ReadsTheFourLinesInBytesWhateverTheChunking) {
    for (size_t chunk : {0u, 1u, 2u, 7u, 64u}) {
        linuxapi::ProcStatusCounters c;
        ASSERT_TRUE(Parse(kStatus, &c, chunk)) << chunk;
        EXPECT_EQ(c.residentBytes, 1536u * 1024) << chunk;
        EXPECT_EQ(c.peakResidentBytes, 2048u * 1024) << chunk;
        EXPECT_EQ(c.dataBytes, 262400u * 1024) << chunk;
        EXPECT_EQ(c.stackBytes, 132u * 1024) << chunk;
    }
}

TEST(ProcStatus, CompleteOnceAllLinesAreSeen) {
    linuxapi::ProcStatusParser parser;
    const std::string text = kStatus;
    const size_t stk = text.find("VmExe");
    parser.Feed(text.data(), stk - 1);
    EXPECT_FALSE(parser.Complete());  // VmStk's line feed has not come yet
    parser.Feed(text.data() + stk - 1, 1);
    EXPECT_TRUE(parser.Complete());
}

TEST(ProcStatus, OddAndHostileTexts) {
    struct Case {
        const char* name;
        std::string text;
        bool ok;
        uint64_t rssKb;
    } const cases[] = {
        {"kernel thread: no Vm lines", "Name:\tkthreadd\nState:\tS\nThreads:\t1\n", true, 0},
        {"empty", "", true, 0},
        {"last line without line feed", "VmRSS:\t 12 kB", true, 12},
        {"first of duplicate lines counts", "VmRSS:\t1 kB\nVmRSS:\t999 kB\n", true, 1},
        {"name line cannot fake a value", "Name:\tVmRSS:\t5 kB\nVmRSS:\t7 kB\n", true, 7},
        {"long line before", "Groups:\t" + std::string(200000, '1') + "\nVmRSS:\t9 kB\n", true, 9},
        {"longer key is another key", "VmRSSX:\t5 kB\nVmRSS:\t6 kB\n", true, 6},
        {"missing unit", "VmRSS:\t12\n", false, 0},
        {"wrong unit", "VmRSS:\t12 MB\n", false, 0},
        {"letters", "VmRSS:\tabc kB\n", false, 0},
        {"no digits", "VmRSS:\t kB\n", false, 0},
        {"carriage return", "VmRSS:\t12 kB\r\n", false, 0},
        {"trailing text", "VmRSS:\t12 kBx\n", false, 0},
        {"digits overflow 64 bits", "VmRSS:\t18446744073709551621 kB\n", false, 0},  // 2^64 + 5 would wrap to 5
        {"bytes overflow 64 bits", "VmRSS:\t18014398509481984 kB\n", false, 0},
        {"largest that fits", "VmRSS:\t18014398509481983 kB\n", true, 18014398509481983ull},
        {"binary junk", std::string("\0\xff:\n\x01junk\nVmRSS:\t3 kB\n", 22), true, 3},
        {"tab between number and unit", "VmRSS:\t4\tkB\n", false, 0},
        {"a key's start only", "VmRS:\t4 kB\nVm:\t3 kB\n:\t2 kB\nVmRSS:\t5 kB\n", true, 5},
    };
    // Whole lines are taken at once, lines cut by a piece's end byte by
    // byte: both ways give the same answer.
    for (const Case& c : cases) {
        for (size_t chunk : {size_t{0}, size_t{1}, size_t{3}}) {
            linuxapi::ProcStatusCounters counters;
            EXPECT_EQ(Parse(c.text, &counters, chunk), c.ok) << c.name << " in pieces of " << chunk;
            if (c.ok) {
                EXPECT_EQ(counters.residentBytes, c.rssKb * 1024) << c.name << " in pieces of " << chunk;
            }
        }
    }
}

const char kRollup[] =
    "557b96902000-7fffe82de000 ---p 00000000 00:00 0                          [rollup]\n"
    "Rss:                1704 kB\nPss:                 362 kB\nPss_Dirty:           112 kB\n"
    "Pss_Anon:            112 kB\nShared_Clean:       1532 kB\nShared_Dirty:          0 kB\n"
    "Private_Clean:        60 kB\nPrivate_Dirty:       112 kB\nReferenced:         1704 kB\n"
    "Private_Hugetlb:       0 kB\nSwap:                  0 kB\nSwapPss:               0 kB\n";

TEST(SmapsRollup, ReadsPssAndPrivatePagesWhateverTheTextAndChunking) {
    struct Case {
        const char* name;
        std::string text;
        bool ok;
        uint64_t pssKb, cleanKb, dirtyKb;
    } const cases[] = {
        {"kernel's text", kRollup, true, 362, 60, 112},
        {"no address space: empty", "", true, 0, 0, 0},
        {"keys sharing a prefix", "Pss_Anon: 5 kB\nPrivate_Hugetlb: 6 kB\nPss: 7 kB\n", true, 7, 0, 0},
        {"longest key, longer one", "Private_Dirty_: 9 kB\nPrivate_Dirty: 8 kB\n", true, 0, 0, 8},
        {"largest that fits", "Pss: 18014398509481983 kB\n", true, 18014398509481983ull, 0, 0},
        {"bytes overflow 64 bits", "Pss: 18014398509481984 kB\n", false, 0, 0, 0},
        {"wrong unit", "Private_Clean: 4 MB\n", false, 0, 0, 0},
        {"letters where the number goes", "Pss:x 00:00 [rollup]\nPss: 3 kB\n", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        for (size_t chunk : {c.text.size() + 1, size_t{1}, size_t{5}}) {
            linuxapi::SmapsRollupParser parser;
            for (size_t at = 0; at < c.text.size(); at += chunk) {
                parser.Feed(c.text.data() + at, std::min(chunk, c.text.size() - at));
            }
            linuxapi::SmapsRollupCounters counters;
            ASSERT_EQ(parser.Finish(&counters), c.ok) << c.name << " in pieces of " << chunk;
            if (!c.ok) continue;
            EXPECT_EQ(counters.proportionalBytes, c.pssKb * 1024) << c.name;
            EXPECT_EQ(counters.privateCleanBytes, c.cleanKb * 1024) << c.name;
            EXPECT_EQ(counters.privateDirtyBytes, c.dirtyKb * 1024) << c.name;
        }
    }
}

template <typename Parser, typename Result>
bool ParseInPieces(const std::string& text, size_t chunk, Result* result) {
    Parser parser;
    for (size_t at = 0; at < text.size(); at += chunk) parser.Feed(text.data() + at, std::min(chunk, text.size() - at));
    return parser.Finish(result);
}

// The keys of two first letters (the exposition's six, anon and swap's
// two) pass over the lines that start with neither up to the nearer of each
// letter's next line: a line of either letter after such lines, the other
// letter's line far past it, a letter inside a line, and the same in pieces.
TEST(ProcStatus, TwoFirstLettersAfterLinesOfNeither) {
    const struct {
        const char* name;
        std::string text;
        uint64_t rss, hwm, data, stk, anon, swap;  // kB
    } cases[] = {
        {"the kernel's order", "Name:\tR x\nState:\tR (running)\nTgid:\t5\nVmPeak:\t 9 kB\nVmHWM:\t 8 kB\nVmRSS:\t 7 kB\n"
                               "RssAnon:\t 6 kB\nRssFile:\t 1 kB\nVmData:\t 5 kB\nVmStk:\t 4 kB\nVmExe:\t 2 kB\n"
                               "HugetlbPages:\t 0 kB\nVmSwap:\t 3 kB\nThreads:\t1\n",
         7, 8, 5, 4, 6, 3},
        {"each letter after other lines", "Umask:\t0022\nRssAnon: 6 kB\nTgid:\t5\nVmSwap: 3 kB\nPid:\t5\nVmRSS: 7 kB\n"
                                          "X: V R\nVmHWM: 8 kB\nY: 1\nVmData: 5 kB\nZ: 2\nVmStk: 4 kB\n",
         7, 8, 5, 4, 6, 3},
        {"the other letter far past", "Name: x\nVmRSS: 7 kB\nA: 1\nB: 2\nC: V\nD: 4\nRssAnon: 6 kB\nE: 5\nVmSwap: 3 kB\n",
         7, 0, 0, 0, 6, 3},
    };
    for (const auto& c : cases) {
        for (size_t chunk : {c.text.size() + 1, size_t{1}, size_t{2}, size_t{9}}) {
            linuxapi::ProcStatusAll all;
            ASSERT_TRUE(ParseInPieces<linuxapi::ProcStatusAllParser>(c.text, chunk, &all)) << c.name << ", " << chunk;
            EXPECT_EQ(all.counters.residentBytes, c.rss * 1024) << c.name << ", " << chunk;
            EXPECT_EQ(all.counters.peakResidentBytes, c.hwm * 1024) << c.name << ", " << chunk;
            EXPECT_EQ(all.counters.dataBytes, c.data * 1024) << c.name << ", " << chunk;
            EXPECT_EQ(all.counters.stackBytes, c.stk * 1024) << c.name << ", " << chunk;
            EXPECT_EQ(all.anonSwap.anonymousBytes, c.anon * 1024) << c.name << ", " << chunk;
            EXPECT_EQ(all.anonSwap.swapBytes, c.swap * 1024) << c.name << ", " << chunk;
            linuxapi::ProcStatusAnonSwap anonSwap;
            ASSERT_TRUE(ParseInPieces<linuxapi::ProcStatusAnonSwapParser>(c.text, chunk, &anonSwap)) << c.name;
            EXPECT_EQ(anonSwap.anonymousBytes, c.anon * 1024) << c.name << ", " << chunk;
            EXPECT_EQ(anonSwap.swapBytes, c.swap * 1024) << c.name << ", " << chunk;
        }
    }
}

// -m anon and -m swap read status again for their two lines (the fuzzer
// holds the exposition's one pass over all six to these parsers' answers);
// the host's memory comes from meminfo.
TEST(ProcStatus, AnonSwapAndMemInfoLines) {
    const struct {
        const char* name;
        std::string text;
        bool ok;
        uint64_t firstKb, secondKb;
    } cases[] = {
        {"status", "VmRSS:\t  5000 kB\nRssAnon:\t  4096 kB\nRssFile:\t 904 kB\nVmSwap:\t  12 kB\n", true, 4096, 12},
        // Keys of two first letters: one letter's next line may lie far past
        // the other's, and a letter inside a line is no line start.
        {"letters alternate", "VmRSS:\t 5000 kB\nVmSwap: 1 kB\nX: R\nRssAnon: 2 kB\n", true, 2, 1},
        {"other lines of the letters", "VmRSS:\t 5000 kB\nRssFile: 1 kB\nVmPeak: 1 kB\nRss: 1 kB\nVmSwap: 6 kB\nRssAnon: 5 kB\n",
         true, 5, 6},
        {"malformed after the other letter's line", "VmRSS:\t 5000 kB\nVmSwap: 6 kB\nRssAnon: 5 kb\n", false, 0, 0},
    };
    for (const auto& c : cases) {
        for (size_t chunk : {c.text.size() + 1, size_t{1}, size_t{7}}) {
            linuxapi::ProcStatusAnonSwap counters;
            ASSERT_EQ(ParseInPieces<linuxapi::ProcStatusAnonSwapParser>(c.text, chunk, &counters), c.ok)
                << c.name << " in pieces of " << chunk;
            if (!c.ok) continue;
            EXPECT_EQ(counters.anonymousBytes, c.firstKb * 1024) << c.name;
            EXPECT_EQ(counters.swapBytes, c.secondKb * 1024) << c.name;
        }
    }
    const struct {
        const char* text;
        bool ok;
        uint64_t kb;
    } meminfo[] = {
        {"MemTotal:       24683728 kB", true, 24683728},
        {"XMemTotal: 5 kB\nMemTotal: 6 kB\n", true, 6},
        {"MemTotalX: 5 kB\n", false, 0},
        {"MemTotal: 2468", false, 0},  // cut short
        {"MemTotal: 24x kB\n", false, 0},
        {"MemTotal: 18014398509481983 kB\n", true, 18014398509481983ull},
        {"MemTotal: 18014398509481984 kB\n", false, 0},
        {"MemTotal: 5 kBx\n", false, 0},
        {"MemFree: 5 kB\n", false, 0},
        {"MemTotal:", false, 0},
    };
    for (const auto& m : meminfo) {
        uint64_t bytes = 0;
        EXPECT_EQ(linuxapi::FindMemInfoBytes(m.text, std::strlen(m.text), "MemTotal", &bytes), m.ok) << m.text;
        EXPECT_EQ(bytes, m.ok ? m.kb * 1024 : 0) << m.text;
    }
}

TEST(ProcStatus, TgidComesFromItsOwnCompleteLine) {
    const struct {
        const char* name;
        std::string text;
        pid_t tgid;  // 0: none found
    } cases[] = {
        {"status file", kStatus, 1234},
        {"blanks before the number", "Tgid:  \t77\nPid:\t78\n", 77},
        {"first line counts", "Tgid:\t6\nTgid:\t7\n", 6},
        {"only at a line start", "Name:\tTgid:\t5\nXTgid:\t4\nTgid:\t6\n", 6},
        {"largest id", "Tgid:\t1073741823\n", 1073741823},
        {"missing", "Name:\tx\nPid:\t5\n", 0},
        {"cut short", "Tgid:\t12", 0},
        {"no digits", "Tgid:\t\n", 0},
        {"trailing text", "Tgid:\t12x\n", 0},
        {"zero", "Tgid:\t0\n", 0},
        {"beyond any id", "Tgid:\t1073741824\n", 0},
        {"wraps 64 bits", "Tgid:\t18446744073709551621\n", 0},
        {"sign", "Tgid:\t-5\n", 0},
    };
    for (const auto& c : cases) {
        pid_t tgid = 0;
        EXPECT_EQ(linuxapi::FindStatusTgid(c.text.data(), c.text.size(), &tgid), c.tgid != 0) << c.name;
        EXPECT_EQ(tgid, c.tgid) << c.name;
    }
}

// The other files a selection reads: stat's name and parent, status's real
// uid, cgroup.procs and /etc/passwd; malformed or cut text is refused.
TEST(SelectionFiles, IdentityOwnerGroupMembersAndAccounts) {
    const struct {
        const char* name;
        std::string stat;
        const char* command;  // nullptr: refused
        pid_t parent;
    } stats[] = {
        {"plain", "42 (bash) S 7 42 42 0", "bash", 7},
        {"blanks and parentheses in the name", "42 (a) b) c) R 1 1", "a) b) c", 1},
        {"15 bytes, the kernel's most", "9 (fifteen-chars-x) S 2 0", "fifteen-chars-x", 2},
        {"largest parent", "9 (x) S 1073741823 0", "x", 1073741823},
        {"a kernel thread's 63 bytes, kept as 15", "9 (" + std::string(63, 'k') + ") I 2 0", "kkkkkkkkkkkkkkk", 2},
        {"64 bytes", "9 (" + std::string(64, 'k') + ") I 2 0", nullptr, 0},
        {"parent beyond any id", "9 (x) S 1073741824 0", nullptr, 0},
        {"no parent", "9 (x) S", nullptr, 0},
        {"no name", "9 x S 1 0", nullptr, 0},
    };
    for (const auto& c : stats) {
        char command[16] = "";
        pid_t parent = 0;
        EXPECT_EQ(linuxapi::ParseStatIdentity(c.stat.data(), c.stat.size(), command, &parent), c.command != nullptr) << c.name;
        if (c.command != nullptr) {
            EXPECT_EQ(std::string(command) + "/" + std::to_string(parent), std::string(c.command) + "/" + std::to_string(c.parent))
                << c.name;
        }
    }
    uint32_t uid = 7;
    EXPECT_TRUE(linuxapi::FindStatusUid("Name:\tx\nUid:\t1000\t0\t0\t0\n", 27, &uid));
    EXPECT_EQ(uid, 1000u);
    EXPECT_TRUE(linuxapi::FindStatusUid("Uid:\t4294967294\t0\n", 18, &uid));
    EXPECT_EQ(uid, 4294967294u);
    EXPECT_FALSE(linuxapi::FindStatusUid("Uid:\t4294967295\t0\n", 18, &uid));  // (uid_t)-1 is no user

    const struct {
        std::string procs;
        size_t count;  // ids seen; SIZE_MAX: refused
    } lists[] = {{"", 0}, {"1\n", 1}, {"12\n1073741823\n", 2}, {"12\n1073741824\n", SIZE_MAX},
                 {"12\n34", SIZE_MAX}, {"12\n\n", SIZE_MAX}, {"0\n", SIZE_MAX}, {"-1\n", SIZE_MAX}};
    for (const auto& c : lists) {
        std::vector<pid_t> ids;
        const bool ok = linuxapi::ForEachListedId(c.procs.data(), c.procs.size(), [](pid_t id, void* to) {
            static_cast<std::vector<pid_t>*>(to)->push_back(id);
            return true;
        }, &ids);
        EXPECT_EQ(ok ? ids.size() : SIZE_MAX, c.count) << c.procs;
    }

    const std::string passwd = "root:x:0:0:root:/root:/bin/bash\nnagiosx:x:5:5::/:/bin/sh\nnagios:x:118:126::/:/bin/sh\n"
                               "big:x:4294967294:1::/:/bin/sh\nhuge:x:4294967295:1::/:/bin/sh\nbad:x:12a:1::/:/bin/sh\n";
    const struct {
        const char* user;
        int64_t uid;  // -1: not found or refused
    } accounts[] = {{"root", 0}, {"nagios", 118}, {"big", 4294967294}, {"huge", -1}, {"bad", -1}, {"nagio", -1}, {"x", -1}};
    for (const auto& c : accounts) {
        uint32_t found = 0;
        const bool ok = linuxapi::FindPasswdUid(passwd.data(), passwd.size(), c.user, &found);
        EXPECT_EQ(ok ? static_cast<int64_t>(found) : -1, c.uid) << c.user;
    }
}

}  // namespace
