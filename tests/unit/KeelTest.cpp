// Error objects and sentries' ownership rules; errors' trace lines observed
// through a log file named by each test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

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
