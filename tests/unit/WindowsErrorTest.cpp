// The substitute error texts and the system's own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "windows/WindowsError.h"

namespace {

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

}  // namespace
