// Trace lines, assertion reports and ignored calls, observed through a log
// file named by each test.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "Common/IgnoredCall.h"
#include "Common/LogTrace.h"
#include "keel/Error.h"
#include "tests/support/LogCapture.h"

namespace {

TEST(LogTrace, CutsLongLinesTo4095Characters) {
    LogCapture log;
    const std::string longText(5000, 'a');
    LogTrace::Trace("%s", longText.c_str());
    EXPECT_EQ(log.Text(), std::string(4095, 'a'));
}

TEST(LogTrace, AssertionLineNamesFileAndLineBeforeTheExpression) {
    LogCapture log;
    LogTrace::ReportAssertion("hProcess != NULL", "WindowsProcess", 2193);
    EXPECT_EQ(log.Text(), "**** ASSERT FAILED **** [ File WindowsProcess, Line 2193 ]\n\t[ Expression = hProcess != NULL ]\n");
}

TEST(LogTrace, SinkDropsEverythingWithoutALogFileEmptyTextOrWhenDisabled) {
    LogCapture log;
    LogTrace::Write("", SIZE_MAX);
    LogTrace::Write(nullptr, SIZE_MAX);
    LogTrace::TraceEnabled = false;
    LogTrace::Trace("hidden\n");
    LogTrace::TraceEnabled = true;
    EXPECT_EQ(log.Text(), "");

    LogTrace::Write("abcdef", 3);
    EXPECT_EQ(log.Text(), "abc");

    LogTrace::LogFileName().clear();
    LogTrace::Trace("nowhere\n");
    EXPECT_EQ(log.Text(), "abc");
}

struct IgnoredCase {
    const char* name;
    int thrown;  // 0 nothing, 1 Keel::Error, 2 std::runtime_error
    const char* expectedLog;
};

void PrintTo(const IgnoredCase& c, std::ostream* os) { *os << c.name; }

class IgnoredCall : public ::testing::TestWithParam<IgnoredCase> {};

TEST_P(IgnoredCall, TracesThenReportsAndGoesOn) {
    LogCapture log;
    const IgnoredCase& c = GetParam();
    // The call runs once, up to its throw; an exception escaping the macro
    // would fail the test on its own.
    int steps = 0;
    LOGTRACE_IGNORE_FAILURE("Windows::EnableProcessPrivilege(SE_DEBUG_NAME)", "TrelmarkProbe", 137, {
        ++steps;
        if (c.thrown == 1) throw Keel::Error("Access is denied");
        if (c.thrown == 2) throw std::runtime_error("other");
        ++steps;
    });
    EXPECT_EQ(steps, c.thrown == 0 ? 2 : 1);
    EXPECT_EQ(log.Text(), c.expectedLog);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IgnoredCall,
    ::testing::Values(
        IgnoredCase{"Success", 0, ""},
        IgnoredCase{"KeelError", 1,
                    "Windows::EnableProcessPrivilege(SE_DEBUG_NAME) failed: [Access is denied] (ignored).\n"
                    "**** ASSERT FAILED **** [ File TrelmarkProbe, Line 137 ]\n"
                    "\t[ Expression = \"Windows::EnableProcessPrivilege(SE_DEBUG_NAME)\" ]\n"},
        IgnoredCase{"ForeignException", 2,
                    "**** ASSERT FAILED **** [ File TrelmarkProbe, Line 137 ]\n"
                    "\t[ Expression = \"Windows::EnableProcessPrivilege(SE_DEBUG_NAME)\" ]\n"}),
    [](const ::testing::TestParamInfo<IgnoredCase>& info) { return std::string(info.param.name); });

}  // namespace
