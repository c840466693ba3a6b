// Threshold ranges: where they alert, what they refuse, their byte figures.
#include <gtest/gtest.h>

#include <vector>

#include "plugin/Range.h"

namespace {

plugin::Range MustParse(const char* text) {
    plugin::Range range;
    EXPECT_TRUE(plugin::ParseRange(text, &range)) << text;
    return range;
}

TEST(Ranges, AlertWhereTheGuidelinesSay) {
    struct Case {
        const char* range;
        std::vector<double> alert, quiet;
    } const cases[] = {
        {"10", {-1, 10.5, 11, 1e9}, {0, 5, 10}},
        {"10:", {-1, 0, 9, 9.99}, {10, 11, 1e12}},
        {"~:10", {10.01, 11, 1e12}, {-1e12, 0, 10}},
        {"10:20", {9, 20.5, 21}, {10, 15, 20}},
        {"@10:20", {10, 15, 20}, {9, 21}},
        {":5", {-1, 6}, {0, 5}},
        {"@~:20", {-5, 20}, {21}},
        {"1.5:2.25", {1.49, 2.26}, {1.5, 2.25}},
        {"-5:5", {-6, 6}, {-5, 0, 5}},
        {"~:", {}, {-1e12, 0, 1e12}},
        {"@5", {0, 5}, {-1, 6}},
    };
    for (const Case& c : cases) {
        const plugin::Range range = MustParse(c.range);
        for (double v : c.alert) EXPECT_TRUE(range.Alerts(v)) << c.range << " at " << v;
        for (double v : c.quiet) EXPECT_FALSE(range.Alerts(v)) << c.range << " at " << v;
    }
}

TEST(Ranges, RefusesWhatIsNotARange) {
    for (const char* text : {"", "@", "~", "abc", "10:5", "5:-5", "-10", "1e3", "0x10", "10 ", " 10", "10::20",
                             "10:20:30", "@@10", "~10", "10:~", "1.", ".", "+", "12345678901234", "1.2345678901234",
                             "inf", "nan", "10,5", "10:20x"}) {
        plugin::Range range;
        EXPECT_FALSE(plugin::ParseRange(text, &range)) << '"' << text << '"';
    }
}

TEST(Ranges, ScaleToBytesExactlyForThePerformanceData) {
    const struct {
        const char* range;
        const char* bytes;
    } cases[] = {
        {"10", "10485760"},
        {"0:10", "10485760"},
        {"10:", "10485760:"},
        {"~:10", "~:10485760"},
        {"10:20", "10485760:20971520"},
        {"@10:20", "@10485760:20971520"},
        {"0.1", "104857.6"},
        {"1.5:", "1572864:"},
        {"-0.5:0.5", "-524288:524288"},
        {"0.001", "1048.576"},
        {".25", "262144"},
        {"9999999999999", "10485759999998951424"},
        {"0.000000000001", "0.000001048576"},
    };
    for (const auto& c : cases) EXPECT_EQ(MustParse(c.range).TimesPowerOfTwo(20), c.bytes) << c.range;
}

}  // namespace
