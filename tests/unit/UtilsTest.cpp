// Number text.
#include <gtest/gtest.h>

#include <cstdint>

#include "windows/Utils.h"

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

}  // namespace
