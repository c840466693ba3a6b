// Failure paths of the handle, privilege and counter wrappers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "keel/Error.h"
#include "tests/fake/FakeWin32.h"
#include "tests/support/LogCapture.h"
#include "windows/WindowsProcess.h"
#include "windows/WindowsSecurity.h"
#include "windows/WindowsUtils2.h"

namespace {

std::string ThrownMessage(void (*call)()) {
    try {
        call();
    } catch (const Keel::Error& e) {
        EXPECT_FALSE(e.Fatal());
        EXPECT_EQ(e.Code(), 0);
        return e.Message();
    }
    return "<nothing thrown>";
}

void EnableDebug() { Windows::EnableProcessPrivilege("SeDebugPrivilege", nullptr, true); }

struct PrivilegeFailure {
    const char* name;
    int step;  // 1 open token, 2 lookup, 3 adjust
    DWORD code;
    const char* text;
    const char* log;
};

void PrintTo(const PrivilegeFailure& c, std::ostream* os) { *os << c.name; }

class PrivilegeFailures : public ::testing::TestWithParam<PrivilegeFailure> {};

TEST_P(PrivilegeFailures, ThrowTheSystemTextReportTraceAndCloseTheToken) {
    const PrivilegeFailure& c = GetParam();
    LogCapture log;
    fake::Platform& p = fake::Reset();
    p.messages[5] = "Access is denied.\r\n";
    p.messages[1313] = "A specified privilege does not exist.\r\n";
    p.messages[1300] = "Not all privileges or groups referenced are assigned to the caller.\r\n";
    if (c.step == 1) p.openTokenFailure = c.code;
    if (c.step == 2) p.lookupFailure = c.code;
    if (c.step == 3) p.adjustLastError = c.code;

    EXPECT_EQ(ThrownMessage(EnableDebug), c.text);
    EXPECT_EQ(log.Text(), c.log);
    EXPECT_TRUE(p.live.empty()) << "token left open";
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PrivilegeFailures,
    ::testing::Values(
        PrivilegeFailure{"OpenProcessToken", 1, 5, "Access is denied",
                         "**** ASSERT FAILED **** [ File WindowsSecurity, Line 1007 ]\n"
                         "\t[ Expression = \"OpenProcessToken failed!\" ]\n"
                         "EnableProcessPrivilege: OpenProcessToken failed for privilege [SeDebugPrivilege]: "
                         "Access is denied.\n"},
        PrivilegeFailure{"LookupPrivilegeValue", 2, 1313, "A specified privilege does not exist",
                         "**** ASSERT FAILED **** [ File WindowsSecurity, Line 1021 ]\n"
                         "\t[ Expression = \"LookupPrivilegeValue failed!\" ]\n"
                         "EnableProcessPrivilege: LookupPrivilegeValue failed for privilege [SeDebugPrivilege]: "
                         "A specified privilege does not exist.\n"},
        PrivilegeFailure{"AdjustTokenPrivileges", 3, 1300,
                         "Not all privileges or groups referenced are assigned to the caller",
                         "**** ASSERT FAILED **** [ File WindowsSecurity, Line 1037 ]\n"
                         "\t[ Expression = \"AdjustTokenPrivileges failed!\" ]\n"
                         "EnableProcessPrivilege: AdjustTokenPrivileges failed for privilege [SeDebugPrivilege]: "
                         "Not all privileges or groups referenced are assigned to the caller.\n"}),
    [](const ::testing::TestParamInfo<PrivilegeFailure>& info) { return std::string(info.param.name); });

TEST(PrivilegeFake, RequestCarriesOneEntryWithTheEnableAttribute) {
    fake::Platform& p = fake::Reset();
    Windows::EnableProcessPrivilege("SeDebugPrivilege", nullptr, true);
    Windows::EnableProcessPrivilege("SeDebugPrivilege", nullptr, false);
    ASSERT_EQ(p.adjustRequests.size(), 2u);
    EXPECT_EQ(p.adjustRequests[0].PrivilegeCount, 1u);
    EXPECT_EQ(p.adjustRequests[0].Privileges[0].Luid.LowPart, 20u);
    EXPECT_EQ(p.adjustRequests[0].Privileges[0].Attributes, 2u);
    EXPECT_EQ(p.adjustRequests[1].Privileges[0].Attributes, 0u);
    EXPECT_TRUE(p.live.empty());
}

TEST(CountersFake, ConvertBytesToFractionalMegabytes) {
    fake::Platform& p = fake::Reset();
    p.counters.WorkingSetSize = 1572864;          // 1.5 MB
    p.counters.PeakWorkingSetSize = 3221225472u;  // 3 GB
    p.counters.PagefileUsage = 1048576;
    p.counters.PeakPagefileUsage = 2097152;
    p.counters.PrivateUsage = UINT64_MAX;  // stays positive
    double ws = -1, peak = -1, pf = -1, peakPf = -1, priv = -1;
    Windows::GetProcessMemoryCounters(p.NewHandle(), &ws, &peak, &pf, &peakPf, &priv);
    EXPECT_EQ(ws, 1.5);
    EXPECT_EQ(peak, 3072.0);
    EXPECT_EQ(pf, 1.0);
    EXPECT_EQ(peakPf, 2.0);
    EXPECT_EQ(priv, 18446744073709551615.0 / 1048576.0);

    p.counters.WorkingSetSize = 2097152;
    Windows::GetProcessMemoryCounters(p.NewHandle(), &ws, &peak, nullptr, nullptr, nullptr);
    EXPECT_EQ(ws, 2.0);
}

TEST(CountersFake, FailureThrowsTheSystemTextAfterOneReport) {
    LogCapture log;
    fake::Platform& p = fake::Reset();
    p.memoryFailure = 6;
    p.messages[6] = "The handle is invalid.\r\n";
    double ws = -1, peak = -1;
    std::string message;
    try {
        Windows::GetProcessMemoryCounters(nullptr, &ws, &peak, nullptr, nullptr, nullptr);
    } catch (const Keel::Error& e) {
        message = e.Message();
    }
    EXPECT_EQ(message, "The handle is invalid");
    EXPECT_EQ(ws, -1);
    EXPECT_EQ(log.Text(), AssertionLine("WindowsProcess", 2193, "hProcess != NULL") +
                              AssertionLine("WindowsProcess", 2201, "\"Unable to get process memory information\""));
    // The system call is made despite the NULL handle, and its error is the message.
    EXPECT_EQ(std::count(p.calls.begin(), p.calls.end(), "GetProcessMemoryInfo"), 1);
}

TEST(HandlesFake, CloseFailureReportsThenTraces) {
    LogCapture log;
    fake::Platform& p = fake::Reset();
    p.messages[6] = "The handle is invalid.\r\n";
    EXPECT_FALSE(Windows::CloseHandle(nullptr));
    EXPECT_EQ(log.Text(), "");
    EXPECT_TRUE(p.calls.empty());

    p.closeFailure = 6;
    EXPECT_FALSE(Windows::CloseHandle(p.NewHandle()));
    EXPECT_EQ(log.Text(), AssertionLine("WindowsUtils2", 33, "\"CloseHandle() failed!\"") +
                              "CloseHandle: ::CloseHandle failed: [The handle is invalid].\n");
}

TEST(HandlesFake, SentryClosesExactlyOnceAndOnlyLiveOwnedHandles) {
    fake::Platform& p = fake::Reset();
    auto closes = [&] { return std::count(p.calls.begin(), p.calls.end(), "CloseHandle"); };

    HANDLE owned = p.NewHandle();
    { Windows::HandleSentry sentry(owned); }
    EXPECT_EQ(closes(), 1);
    EXPECT_EQ(p.live.count(owned), 0u);

    HANDLE released = p.NewHandle();
    {
        Windows::HandleSentry sentry(released);
        sentry.Release();
        EXPECT_EQ(sentry.Value(), nullptr);
        EXPECT_EQ(p.live.count(released), 0u);
    }
    EXPECT_EQ(closes(), 2);

    HANDLE kept = p.NewHandle();
    { Windows::HandleSentry sentry(kept, false); }
    { Windows::HandleSentry sentry(nullptr); }
    EXPECT_EQ(closes(), 2);
    EXPECT_EQ(p.live.count(kept), 1u);

    // Closed elsewhere first: the sentry neither closes nor reports.
    LogCapture log;
    {
        Windows::HandleSentry sentry(kept);
        ::CloseHandle(kept);
    }
    EXPECT_EQ(closes(), 3);
    EXPECT_EQ(log.Text(), "");

    // A refused close is tried once and reported; nothing escapes the
    // destructor (it is noexcept: an escape would end the test binary).
    p.closeFailure = 5;
    p.messages[5] = "Access is denied.\r\n";
    { Windows::HandleSentry sentry(p.NewHandle()); }
    EXPECT_EQ(closes(), 4);
    EXPECT_EQ(log.Text(), AssertionLine("WindowsUtils2", 33, "\"CloseHandle() failed!\"") +
                              "CloseHandle: ::CloseHandle failed: [Access is denied].\n");
}

}  // namespace
