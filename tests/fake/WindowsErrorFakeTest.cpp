// The error-text rules that need the system's message table to answer at will.
#include <gtest/gtest.h>

#include "tests/fake/FakeWin32.h"
#include "tests/support/LogCapture.h"
#include "windows/WindowsError.h"

namespace {

TEST(ErrorTextFake, TrimsOneCrLfThenOnePeriodOnly) {
    struct Case {
        const char* system;
        const char* expected;
    } const cases[] = {
        {"Access is denied.\r\n", "Access is denied"},
        {"Lone line feed.\n", "Lone line feed.\n"},
        {"Two periods..\r\n", "Two periods."},
        {"Blank after period. \r\n", "Blank after period. "},
        {"No ending", "No ending"},
        {"Ends in period.", "Ends in period"},
        {"Double line end.\r\n\r\n", "Double line end.\r\n"},
        {".", ""},
        {"\r\n", ""},
    };
    for (const Case& c : cases) {
        fake::Reset().messages[1234] = c.system;
        EXPECT_EQ(Windows::GetErrorText(1234, true), c.expected) << c.system;
    }
}

TEST(ErrorTextFake, SubstituteWinsOnlyWhenAskedFor) {
    fake::Reset().messages[34] = "System text for 34.\r\n";
    EXPECT_EQ(Windows::GetErrorText(34, true), "The wrong diskette is in the drive. Please insert the correct diskette");
    EXPECT_EQ(Windows::GetErrorText(34, false), "System text for 34");
}

TEST(ErrorTextFake, LookupFailureNamesTheCodeAndTracesOnlyForOtherFailures) {
    struct Case {
        DWORD failure;
        const char* trace;
    } const cases[] = {
        {ERROR_MR_MID_NOT_FOUND, ""},
        {0xBEEF, ""},  // the code itself
        {ERROR_INSUFFICIENT_BUFFER,
         "Error processing code (0xbeef): [Unknown error (0x7a) / 122]\n"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        fake::Reset().formatFailure = c.failure;
        EXPECT_EQ(Windows::GetErrorText(0xBEEF, true), "Unknown error (0xbeef)");
        EXPECT_EQ(log.Text(), c.trace) << c.failure;
    }
}

TEST(ErrorTextFake, LastErrorTextReadsTheThreadsLastError) {
    fake::Reset().messages[6] = "The handle is invalid.\r\n";
    SetLastError(6);
    EXPECT_EQ(Windows::GetLastErrorText(true), "The handle is invalid");
}

}  // namespace
