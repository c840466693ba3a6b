// Error objects, sentries' ownership rules and trace reports, observed
// through a log file named by each test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "Common/IgnoredCall.h"
#include "Common/LogTrace.h"
#include "keel/Error.h"
#include "keel/Sentry.h"
#include "tests/support/LogCapture.h"

namespace {

void ExpectFields(const Keel::Error& e, const std::string& message, bool fatal, int32_t code, uint64_t data) {
    EXPECT_EQ(e.Message(), message);
    EXPECT_EQ(e.Fatal(), fatal);
    EXPECT_EQ(e.Code(), code);
    EXPECT_EQ(e.Data(), data);
}

TEST(Error, ConstructorsCopyAndResetCarryAllFourFields) {
    ExpectFields(Keel::Error(), "", false, 0, 0);
    ExpectFields(Keel::Error("Too few arguments"), "Too few arguments", false, 0, 0);
    ExpectFields(Keel::Error(std::string("s"), true, -7, 99), "s", true, -7, 99);

    const Keel::Error original("x", true, 5, 0xFFFFFFFFFFull);
    Keel::Error copied(original);
    ExpectFields(copied, "x", true, 5, 0xFFFFFFFFFFull);
    Keel::Error assigned;
    assigned = original;
    ExpectFields(assigned, "x", true, 5, 0xFFFFFFFFFFull);

    assigned.Reset();
    ExpectFields(assigned, "", false, 0, 0);
    ExpectFields(original, "x", true, 5, 0xFFFFFFFFFFull);
}

TEST(Error, IsCaughtAsKeelObjectButNotAsStdException) {
    bool caughtAsStd = false;
    bool caughtAsObject = false;
    try {
        try {
            throw Keel::Error("boom");
        } catch (const std::exception&) {
            caughtAsStd = true;
        }
    } catch (const Keel::Object& o) {
        caughtAsObject = true;
        EXPECT_STREQ(static_cast<const Keel::Error&>(o).Message(), "boom");
    }
    EXPECT_FALSE(caughtAsStd);
    EXPECT_TRUE(caughtAsObject);
}

TEST(Error, DumpWritesOneTraceLine) {
    LogCapture log;
    Keel::Error("Too few arguments").Dump("Error");
    Keel::Error("x", true, 5).Dump("E");
    EXPECT_EQ(log.Text(), "Error{0, not fatal} [Too few arguments]\nE{5, fatal} [x]\n");
}

TEST(Object, ToStringEndsWithTheLow32BitsOfTheAddress) {
    Keel::Error e;
    char expected[32];
    std::snprintf(expected, sizeof expected, ": [0x%x]",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(static_cast<Keel::Object*>(&e)) & 0xFFFFFFFFu));
    const std::string text = e.ToString();
    ASSERT_GE(text.size(), std::strlen(expected));
    EXPECT_EQ(text.substr(text.size() - std::strlen(expected)), expected);
}

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

// A sentry over plain integers, counting what it releases.
struct CountingSentry : Keel::Sentry<int*> {
    std::string* released;
    CountingSentry(int* value, bool owns, std::string* log) : Keel::Sentry<int*>(value, owns), released(log) {}
    void ReleaseValue(int*& v) override { *released += v ? std::to_string(*v) + ";" : "null;"; }
    ~CountingSentry() override {
        if (owns) {
            ReleaseValue(value);
            value = nullptr;
        }
    }
};

TEST(Sentry, ReleaseNullsTheValueAndIgnoresOwnership) {
    int seven = 7;
    std::string log;
    {
        CountingSentry owning(&seven, true, &log);
        owning.Release();
        EXPECT_EQ(owning.Value(), nullptr);
    }
    EXPECT_EQ(log, "7;null;");  // released once by Release, then null at destruction

    log.clear();
    { CountingSentry notOwning(&seven, false, &log); }
    EXPECT_EQ(log, "");
    {
        CountingSentry notOwning(&seven, false, &log);
        notOwning.Release();
    }
    EXPECT_EQ(log, "7;");
}

}  // namespace
