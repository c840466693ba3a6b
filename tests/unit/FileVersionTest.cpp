// The version-number scan.
#include <gtest/gtest.h>

#include "windows/Contrib/FileVersion/FileVersion.h"

namespace {

TEST(VersionNumbers, ScansLikeTheCommaFormat) {
    struct Case {
        const char* text;
        bool ok;
        WORD a, b, c, d;
    } const cases[] = {
        {"1, 0, 0, 54", true, 1, 0, 0, 54},
        {"1,0,0,54", true, 1, 0, 0, 54},
        {"  1, 0, 0, 54 extra", true, 1, 0, 0, 54},
        {"1,\t0,\n0,   54", true, 1, 0, 0, 54},
        {"-1, 0, 0, 54", true, 65535, 0, 0, 54},
        {"70000, 0, 0, 54", true, 4464, 0, 0, 54},
        {"+3, 2, 1, 0", true, 3, 2, 1, 0},
        {"1 , 0, 0, 54", false, 0, 0, 0, 0},
        {"1.0.0.54", false, 0, 0, 0, 0},
        {"1, 0, 0", false, 0, 0, 0, 0},
        {"1, 0, 0,", false, 0, 0, 0, 0},
        {"", false, 0, 0, 0, 0},
        {"a, b, c, d", false, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        WORD a = 7, b = 7, cc = 7, d = 7;
        const bool ok = CFileVersion::GetVersionNumbers(c.text, a, b, cc, d);
        EXPECT_EQ(ok, c.ok) << '"' << c.text << '"';
        if (!c.ok) {
            EXPECT_EQ(a + b + cc + d, 28) << "outputs written on failure for \"" << c.text << '"';
            continue;
        }
        EXPECT_EQ(a, c.a) << c.text;
        EXPECT_EQ(b, c.b) << c.text;
        EXPECT_EQ(cc, c.c) << c.text;
        EXPECT_EQ(d, c.d) << c.text;
    }
    WORD a, b, c, d;
    EXPECT_FALSE(CFileVersion::GetVersionNumbers(nullptr, a, b, c, d));
    // An overlong number is still one number (kept modulo 2^16), not a fault.
    ASSERT_TRUE(CFileVersion::GetVersionNumbers("99999999999999999999, 1, 2, 3", a, b, c, d));
    EXPECT_EQ(b, 1);
    EXPECT_EQ(d, 3);
}

}  // namespace
