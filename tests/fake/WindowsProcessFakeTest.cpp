// The memory-counter wrapper: its conversion and its failure path.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "keel/Error.h"
#include "tests/fake/FakeWin32.h"
#include "tests/support/LogCapture.h"
#include "windows/WindowsProcess.h"

namespace {

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

}  // namespace
