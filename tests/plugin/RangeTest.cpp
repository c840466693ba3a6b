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

// A share is compared exactly with its percent of the reference: the byte
// below each bound and the byte past it, and the perfdata's exact bytes.
TEST(Ranges, SharesAlertOnBothSidesOfEachBoundExactly) {
    constexpr uint64_t k16G = 16ull << 30;
    const struct {
        const char* range;
        uint64_t reference;
        std::vector<uint64_t> alert, quiet;
        const char* bytes;
    } cases[] = {
        // 80% of 16 GiB is 13743895347.2 bytes.
        {"80%", k16G, {13743895348, k16G}, {0, 13743895347}, "13743895347.2"},
        // 0.5% of 512 GiB is 2748779069.44 bytes: "1% of a 512 GB host is 5 GB".
        {"0.5%", 512ull << 30, {2748779070}, {2748779069}, "2748779069.44"},
        {"50%:", 1000, {0, 499}, {500, 1000, UINT64_MAX}, "500:"},
        {"-0%", 1000, {1}, {0}, "0"},
        {"10%:20%", 3, {0, 1}, {}, "0.3:0.6"},
        {"100%", UINT64_MAX, {}, {UINT64_MAX}, "18446744073709551615"},
        {"0.0000000001%", UINT64_MAX, {18446745, UINT64_MAX}, {18446744}, "18446744.073709551615"},
    };
    for (const auto& c : cases) {
        plugin::Range range = MustParse(c.range);
        EXPECT_TRUE(range.percent) << c.range;
        range.reference = c.reference;
        for (uint64_t v : c.alert) EXPECT_TRUE(range.AlertsAt(v, 20)) << c.range << " at " << v;
        for (uint64_t v : c.quiet) EXPECT_FALSE(range.AlertsAt(v, 20)) << c.range << " at " << v;
        EXPECT_EQ(range.TimesPowerOfTwo(20), c.bytes) << c.range;
    }
    EXPECT_FALSE(MustParse("80").percent);

    // What is wrong with a share, said; nullptr: refused with no more to say.
    const struct {
        const char* text;
        const char* why;
    } refused[] = {
        {"80%%", "one % after a number"},
        {"%", "a % follows a number (80%)"},
        {"@5%:%", "a % follows a number (80%)"},
        {"-5%", "a share is 0% to 100%, never negative"},
        {"100.0000000001%", "a share is at most 100%"},
        {"20%:10%", nullptr},
    };
    for (const auto& c : refused) {
        plugin::Range range;
        const char* why = nullptr;
        EXPECT_FALSE(plugin::ParseRange(c.text, &range, &why)) << c.text;
        EXPECT_STREQ(why, c.why) << c.text;
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
