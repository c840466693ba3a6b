// Failure paths of the privilege wrapper.
#include <gtest/gtest.h>

#include <string>

#include "keel/Error.h"
#include "tests/fake/FakeWin32.h"
#include "tests/support/LogCapture.h"
#include "windows/WindowsSecurity.h"

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

}  // namespace
