// Handle closing and the sentry that owns a handle, failures included.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/fake/FakeWin32.h"
#include "tests/support/LogCapture.h"
#include "windows/WindowsUtils2.h"

namespace {

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
