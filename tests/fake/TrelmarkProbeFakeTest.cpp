// The check driver in-process, over the scripted platform: the paths a real
// system rarely offers (counters that cannot be read, a framework that does
// not start, exact megabyte boundaries).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "check/BuildDate.h"
#include "check/TrelmarkProbe.h"
#include "tests/fake/FakeWin32.h"
#include "tests/support/LogCapture.h"

int TrelmarkMain(int argc, char** argv);  // the program's main, renamed for this binary

namespace {

struct Outcome {
    int code;
    std::string out;
};

Outcome RunProgram(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {"Trelmark64"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    fake::SetArguments(argv);
    ::testing::internal::CaptureStdout();
    const int code = TrelmarkMain(__argc, __argv);
    return {code, ::testing::internal::GetCapturedStdout()};
}

std::string Usage(const std::string& version) {
    ::testing::internal::CaptureStdout();
    PrintUsage();
    std::string screen = ::testing::internal::GetCapturedStdout();
    const std::string line = "Version:          " + version + " (" TRELMARK_BUILD_DATE ")\n";
    EXPECT_NE(screen.find(line), std::string::npos) << screen;
    return screen;
}

fake::Platform& WithMemory(double workingMb, double privateMb) {
    fake::Platform& p = fake::Reset();
    p.counters.WorkingSetSize = static_cast<SIZE_T>(workingMb * 1048576.0);
    p.counters.PrivateUsage = static_cast<SIZE_T>(privateMb * 1048576.0);
    p.messages[1300] = "Not all privileges or groups referenced are assigned to the caller.\r\n";
    return p;
}

TEST(CheckFake, VerdictAtTheMegabyteBoundaries) {
    struct Case {
        double workingMb, privateMb;
        std::vector<std::string> args;
        int code;
        const char* out;
    } const cases[] = {
        {3072.0, 0, {"1521", "3072", "-v"}, 0,
         "\nProcess 1521 is using 3072 MB of memory, which is NOT more than the the threshold of 3072 MB.\n"},
        {3072.9, 0, {"1521", "3072", "-v"}, 0,
         "\nProcess 1521 is using 3072 MB of memory, which is NOT more than the the threshold of 3072 MB.\n"},
        {3073.0, 0, {"1521", "3072", "-v"}, 1,
         "\nProcess 1521 is using 3073 MB of memory, which is more than the the threshold of 3072 MB.\n"},
        {10, 4000.7, {"1521", "3072", "-vm", "-v"}, 1,
         "\nProcess 1521 is using 4000 MB of virtual memory, which is more than the the threshold of 3072 MB.\n"},
        {5000, 100, {"1521", "3072", "-V", "-VM"}, 0,
         "\nProcess 1521 is using 100 MB of virtual memory, which is NOT more than the the threshold of 3072 MB.\n"},
        {5000, 100, {"1521", "3072"}, 1, ""},
        {1, 100, {"1521", "3072"}, 0, ""},
        // Beyond the 32-bit range the value saturates instead of wrapping to a negative "no".
        {5e12, 0, {"1521", "2147483647", "-v"}, 0,
         "\nProcess 1521 is using 2147483647 MB of memory, which is NOT more than the the threshold of 2147483647 MB.\n"},
        {5e12, 0, {"1521", "2147483646"}, 1, ""},
    };
    for (const Case& c : cases) {
        fake::Platform& p = WithMemory(c.workingMb, c.privateMb);
        const Outcome o = RunProgram(c.args);
        EXPECT_EQ(o.code, c.code) << c.workingMb;
        EXPECT_EQ(o.out, c.out) << c.workingMb;
        EXPECT_TRUE(p.live.empty()) << "process handle left open";
    }
}

TEST(CheckFake, CounterFailurePrintsTheSystemTextAndUsageThenClosesTheHandle) {
    fake::Platform& p = fake::Reset();
    p.memoryFailure = 5;
    p.messages[5] = "Access is denied.\r\n";
    const Outcome o = RunProgram({"1521", "3072", "-v"});
    EXPECT_EQ(p.calls.back(), "CloseHandle");  // closed after the screen was printed
    EXPECT_TRUE(p.live.empty());
    EXPECT_EQ(o.code, -1);
    EXPECT_EQ(o.out, "\nAccess is denied.\n\n" + Usage("1.0.0.54"));
}

TEST(CheckFake, OpenFailureComposesTheAccessMessage) {
    LogCapture log;
    fake::Platform& p = fake::Reset();
    p.openProcessFailure = 87;
    p.messages[87] = "The parameter is incorrect.\r\n";
    const Outcome o = RunProgram({"-5", "10"});
    EXPECT_EQ(o.code, -1);
    EXPECT_EQ(o.out, "\nUnable to access the process with identifier 4294967291: The parameter is incorrect.\n\n" +
                         Usage("1.0.0.54"));
    EXPECT_NE(log.Text().find(AssertionLine("TrelmarkProbe", 145, "\"OpenProcess() failed!\"")), std::string::npos);
}

TEST(CheckFake, PrivilegeFailureChangesNothingVisible) {
    LogCapture log;
    fake::Platform& p = WithMemory(20, 0);
    p.adjustLastError = 1300;
    const Outcome o = RunProgram({"1521", "10"});
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(log.Text(),
              AssertionLine("WindowsSecurity", 1037, "\"AdjustTokenPrivileges failed!\"") +
                  "EnableProcessPrivilege: AdjustTokenPrivileges failed for privilege [SeDebugPrivilege]: Not all "
                  "privileges or groups referenced are assigned to the caller.\n"
                  "Windows::EnableProcessPrivilege(SE_DEBUG_NAME) failed: [Not all privileges or groups referenced are "
              "assigned to the caller] (ignored).\n" +
                  AssertionLine("TrelmarkProbe", 137, "\"Windows::EnableProcessPrivilege(SE_DEBUG_NAME)\""));
}

TEST(CheckFake, FrameworkFailureIsFatalWithoutUsage) {
    fake::Platform& p = fake::Reset();
    p.afxResult = FALSE;
    const Outcome o = RunProgram({"1521", "3072"});
    EXPECT_EQ(o.code, -1);
    EXPECT_EQ(o.out, "Fatal Error: MFC initialization failed\n");
    EXPECT_EQ(p.calls, std::vector<std::string>{"AfxWinInit"});
}

TEST(CheckFake, UsageShowsUnknownForAMissingOrUnreadableVersion) {
    struct Case {
        bool hasVersion, hasKey;
        const char* fileVersion;
        const char* shown;
        bool reported;
    } const cases[] = {
        {true, true, "1, 0, 0, 54", "1.0.0.54", false},
        {true, true, "70000, -1, 0, 54", "4464.65535.0.54", false},
        {false, true, "1, 0, 0, 54", "(unknown)", false},
        {true, false, "1, 0, 0, 54", "(unknown)", true},
        {true, true, "1.0.0.54", "(unknown)", true},
    };
    for (const Case& c : cases) {
        LogCapture log;
        fake::Platform& p = fake::Reset();
        p.hasVersion = c.hasVersion;
        p.hasFileVersionKey = c.hasKey;
        p.fileVersion = c.fileVersion;
        Usage(c.shown);
        const std::string report = AssertionLine("TrelmarkProbe", 68, "\"CFileVersion::GetVersionNumbers() failed!\"");
        EXPECT_EQ(log.Text(), c.reported ? report : "") << c.fileVersion;
    }
}

}  // namespace
