// Number text, the substitute error texts and the version-number scan.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "windows/Contrib/FileVersion/FileVersion.h"
#include "windows/Utils.h"
#include "windows/WindowsError.h"

namespace {

TEST(FormatNumber, PlainAndGrouped) {
    struct Case {
        uint64_t value;
        bool separators;
        const char* text;
    } const cases[] = {
        {0, true, "0"},
        {999, true, "999"},
        {1000, true, "1,000"},
        {999999, true, "999,999"},
        {1234567, true, "1,234,567"},
        {UINT64_MAX, true, "18,446,744,073,709,551,615"},
        {1234567, false, "1234567"},
        {1521, false, "1521"},
        {4294967291u, false, "4294967291"},
        {UINT64_MAX, false, "18446744073709551615"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatNumber(c.value, c.separators), c.text) << c.value << " " << c.separators;
    }
    EXPECT_EQ(FormatNumber(UINT64_MAX, true).size(), 26u);
}

TEST(SubstituteErrorText, HasExactlyTheTwentyFourRows) {
    const DWORD codes[] = {34,  106, 129, 182, 188, 189, 190, 191, 192, 193, 194, 195,
                           198, 201, 202, 216, 317, 0x80030002u, 0x80030003u, 0x80030050u,
                           0x800300FBu, 0x800300FCu, 0x80030104u, 0x80030105u};
    for (DWORD code : codes) {
        const char* text = Windows::GetSubstituteErrorText(code);
        EXPECT_NE(text[0], '\0') << code;
        EXPECT_NE(text[std::strlen(text) - 1], '.') << code;
        EXPECT_EQ(Windows::GetErrorText(code, true), text) << code;
    }
    int withText = 0;
    for (DWORD code = 0; code < 20000; ++code) withText += Windows::GetSubstituteErrorText(code)[0] != '\0';
    EXPECT_EQ(withText, 17);  // the other seven are storage HRESULTs
    EXPECT_STREQ(Windows::GetSubstituteErrorText(34),
                 "The wrong diskette is in the drive. Please insert the correct diskette");
    EXPECT_STREQ(Windows::GetSubstituteErrorText(0x80030105u),
                 "The compound file was produced with a newer version of storage");
}

TEST(ErrorText, SystemTextIsTrimmedAndUnknownCodesAreNamed) {
    // The system's own text: no final period or line end, and not the substitute.
    const std::string text = Windows::GetErrorText(5, true);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '.');
    EXPECT_NE(text.back(), '\n');
    EXPECT_NE(Windows::GetErrorText(34, false), Windows::GetSubstituteErrorText(34));
    EXPECT_EQ(Windows::GetErrorText(0x2000FFFFu, true), "Unknown error (0x2000ffff)");
}

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
