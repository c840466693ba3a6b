// The plugin's parsing and verdicts, on every platform (Windows under Wine
// too): ranges, the command line, pidfile text and the status line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "plugin/Options.h"
#include "plugin/Processes.h"
#include "plugin/Range.h"
#include "plugin/Report.h"

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

struct Parsed {
    bool ok;
    plugin::Options options;
    std::string error;
};

Parsed Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "check_trelmark");
    Parsed p;
    p.ok = plugin::ParseOptions(static_cast<int>(args.size()), args.data(), &p.options, &p.error);
    return p;
}

TEST(CommandLine, AcceptsShortLongAndAttachedForms) {
    for (const auto& args : std::vector<std::vector<const char*>>{
             {"-p", "42", "-m", "private", "-w", "10:", "-c", "@5:6", "-t", "3"},
             {"-p42", "-mprivate", "-w10:", "-c@5:6", "-t3"},
             {"--pid", "42", "--metric", "private", "--warning", "10:", "--critical", "@5:6", "--timeout", "3"},
             {"--pid=42", "--metric=private", "--warning=10:", "--critical=@5:6", "--timeout=3"},
         }) {
        const Parsed p = Parse(args);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(p.options.selector, plugin::Selector::Pid);
        EXPECT_EQ(p.options.pid, 42u);
        EXPECT_EQ(p.options.metric, plugin::Metric::Private);
        EXPECT_TRUE(p.options.hasWarning && p.options.hasCritical);
        EXPECT_TRUE(p.options.warning.endInfinite);
        EXPECT_TRUE(p.options.critical.inside);
        EXPECT_EQ(p.options.timeoutSeconds, 3u);
    }
    const Parsed name = Parse({"-C", "postgres", "--sum", "-w", "-5:5"});  // a value may start with '-'
    ASSERT_TRUE(name.ok) << name.error;
    EXPECT_EQ(name.options.selector, plugin::Selector::Command);
    EXPECT_EQ(name.options.target, "postgres");
    EXPECT_TRUE(name.options.sum);
    EXPECT_EQ(name.options.timeoutSeconds, 10u);  // the default

    const Parsed file = Parse({"--pidfile", "/run/x.pid"});
    ASSERT_TRUE(file.ok);
    EXPECT_EQ(file.options.selector, plugin::Selector::Pidfile);
    EXPECT_EQ(file.options.target, "/run/x.pid");

    // Help and version answer at once, whatever else stands there.
    EXPECT_TRUE(Parse({"-h"}).options.help);
    EXPECT_TRUE(Parse({"--version", "--bogus"}).options.version);
    EXPECT_TRUE(Parse({"-p", "1", "--help"}).options.help);
}

TEST(CommandLine, ExplainsWhatIsWrong) {
    const struct {
        std::vector<const char*> args;
        const char* error;
    } cases[] = {
        {{}, "no process given: use -p PID, -f PIDFILE or -C NAME"},
        {{"-w", "10"}, "no process given: use -p PID, -f PIDFILE or -C NAME"},
        {{"-p", "1", "-C", "x"}, "give only one of -p, -f and -C"},
        {{"-p", "1", "-p", "2"}, "give only one of -p, -f and -C"},
        {{"-p", "0"}, "invalid process id \"0\""},
        {{"-p", "-5"}, "invalid process id \"-5\""},
        {{"-p", "4294967296"}, "invalid process id \"4294967296\""},
        {{"-p", "12abc"}, "invalid process id \"12abc\""},
        {{"-p", ""}, "invalid process id \"\""},
        {{"-p"}, "option -p needs a value"},
        {{"--pid"}, "option --pid needs a value"},
        {{"-f", ""}, "the pidfile name is empty"},
        {{"-C", ""}, "invalid process name \"\": the process name is empty"},
        {{"-p", "1", "-m", "virtual"}, "invalid metric \"virtual\" (use working, private, pss, uss or peak)"},
        {{"-p", "1", "-m", ""}, "invalid metric \"\" (use working, private, pss, uss or peak)"},
        {{"-p", "1", "-w", "abc"}, "invalid warning range \"abc\""},
        {{"-p", "1", "-c", "20:10"}, "invalid critical range \"20:10\""},
        {{"-p", "1", "-t", "0"}, "invalid timeout \"0\" (whole seconds, 1 to 86400)"},
        {{"-p", "1", "-t", "86401"}, "invalid timeout \"86401\" (whole seconds, 1 to 86400)"},
        {{"-p", "1", "--sum"}, "--sum adds up the processes of -C NAME; it needs -C"},
        {{"-p", "1", "--sum=yes"}, "option --sum takes no value"},
        {{"-p", "1", "-x"}, "unknown option \"-x\""},
        {{"-p", "1", "-hx"}, "unknown option \"-hx\""},
        {{"-p", "1", "--pids=3"}, "unknown option \"--pids\""},
        {{"-p", "1", "extra"}, "unexpected argument \"extra\""},
        {{"-p", "1", "-"}, "unexpected argument \"-\""},
        {{"-p", "1", "--"}, "unexpected argument \"--\""},
        // Untrusted text is quoted, printable and never a format.
        {{"-p", "%s%n|x\n"}, "invalid process id \"%s%n?x?\""},
    };
    for (const auto& c : cases) {
        const Parsed p = Parse(c.args);
        EXPECT_FALSE(p.ok) << c.error;
        EXPECT_EQ(p.error, c.error);
    }
}

TEST(CommandLine, UsageLineHoldsNoPerformanceDataSeparator) {
    EXPECT_EQ(std::string(plugin::kUsageLine).find('|'), std::string::npos) << plugin::kUsageLine;
}

TEST(Pidfiles, TakeDecimalIdsWithOneOptionalLineEnd) {
    const struct {
        std::string text;
        DWORD pid;  // 0: refused
    } cases[] = {
        {"1234", 1234},     {"1234\n", 1234},   {"1234\r\n", 1234},   {"4294967295\n", 4294967295u},
        {"", 0},            {"\n", 0},          {"0\n", 0},           {"4294967296", 0},
        {"1234\n\n", 0},    {" 1234", 0},       {"1234 ", 0},         {"+1234", 0},
        {"12a4", 0},        {"1234\r", 0},      {"12\n34", 0},        {std::string("12\0", 3), 0},
        {"00000000001", 0}, {"0000000001", 1},
    };
    for (const auto& c : cases) {
        DWORD pid = 77;
        EXPECT_EQ(plugin::ParsePidfileText(c.text.data(), c.text.size(), &pid), c.pid != 0) << c.text;
        EXPECT_EQ(pid, c.pid != 0 ? c.pid : 77u) << c.text;
    }
}

plugin::Options Opts(std::vector<const char*> args) {
    const Parsed p = Parse(std::move(args));
    EXPECT_TRUE(p.ok) << p.error;
    return p.options;
}

constexpr uint64_t MB = 1048576;

TEST(StatusLine, OneLineWithStateTextAndPerformanceData) {
    const std::vector<plugin::Sample> one = {{1234, "postgres", 512 * MB + MB - 1}};
    const std::vector<plugin::Sample> three = {{10, "pg", 100 * MB}, {11, "pg", 300 * MB}, {12, "pg", 5 * MB}};
    const struct {
        std::vector<const char*> args;
        std::vector<plugin::Sample> samples;
        plugin::State state;
        std::string line;
    } cases[] = {
        {{"-p", "1234"}, one, plugin::State::Ok,
         "MEMORY OK - postgres (pid 1234) uses 512 MB of working memory | working=537919487B;;;0;\n"},
        // The compared figure is truncated: 512.99 MB is not above 512.
        {{"-p", "1234", "-w", "512", "-c", "1024"}, one, plugin::State::Ok,
         "MEMORY OK - postgres (pid 1234) uses 512 MB of working memory | working=537919487B;536870912;1073741824;0;\n"},
        {{"-p", "1234", "-w", "511", "-c", "1024"}, one, plugin::State::Warning,
         "MEMORY WARNING - postgres (pid 1234) uses 512 MB of working memory | working=537919487B;535822336;1073741824;0;\n"},
        {{"-p", "1234", "-w", "100", "-c", "511"}, one, plugin::State::Critical,
         "MEMORY CRITICAL - postgres (pid 1234) uses 512 MB of working memory | working=537919487B;104857600;535822336;0;\n"},
        {{"-f", "x", "-m", "private", "-c", "@500:600"}, one, plugin::State::Critical,
         "MEMORY CRITICAL - postgres (pid 1234) uses 512 MB of private memory | private=537919487B;;@524288000:629145600;0;\n"},
        {{"-p", "9"}, {{9, "", 0}}, plugin::State::Ok, "MEMORY OK - pid 9 uses 0 MB of working memory | working=0B;;;0;\n"},
        // Each figure in its own words and under its own label.
        {{"-p", "1234", "-m", "pss", "-w", "511"}, one, plugin::State::Warning,
         "MEMORY WARNING - postgres (pid 1234) uses 512 MB of proportional memory | pss=537919487B;535822336;;0;\n"},
        {{"-p", "1234", "-m", "uss"}, one, plugin::State::Ok,
         "MEMORY OK - postgres (pid 1234) uses 512 MB of unique memory | uss=537919487B;;;0;\n"},
        {{"-p", "1234", "-m", "peak", "-c", "500"}, one, plugin::State::Critical,
         "MEMORY CRITICAL - postgres (pid 1234) uses 512 MB of peak working memory | peak=537919487B;;524288000;0;\n"},
        {{"-C", "pg", "--sum", "-m", "pss", "-c", "400"}, three, plugin::State::Critical,
         "MEMORY CRITICAL - 3 processes named pg use 405 MB of proportional memory in total, largest pid 11 with 300 MB "
         "| pss=424673280B;;419430400;0; processes=3;;;0;\n"},
        {{"-p", "9"}, {{9, "a|b\nc", MB}}, plugin::State::Ok,
         "MEMORY OK - a?b?c (pid 9) uses 1 MB of working memory | working=1048576B;;;0;\n"},
        {{"-C", "pg"}, three, plugin::State::Ok,
         "MEMORY OK - 3 processes named pg, largest pid 11 uses 300 MB of working memory | working=314572800B;;;0; "
         "processes=3;;;0;\n"},
        // Each process on its own; the worst decides, even when it is not the largest.
        {{"-C", "pg", "-w", "200", "-c", "10:"}, three, plugin::State::Critical,
         "MEMORY CRITICAL - 3 processes named pg, largest pid 11 uses 300 MB of working memory (1 critical, 1 warning; "
         "pid 12 with 5 MB is critical) | working=314572800B;209715200;10485760:;0; processes=3;;;0;\n"},
        {{"-C", "pg", "-c", "@0:150"}, three, plugin::State::Critical,
         "MEMORY CRITICAL - 3 processes named pg, largest pid 11 uses 300 MB of working memory (2 critical; pid 10 with "
         "100 MB is critical) | working=314572800B;;@157286400;0; processes=3;;;0;\n"},
        {{"-C", "pg", "-w", "250"}, three, plugin::State::Warning,
         "MEMORY WARNING - 3 processes named pg, largest pid 11 uses 300 MB of working memory (1 warning) | "
         "working=314572800B;262144000;;0; processes=3;;;0;\n"},
        {{"-C", "pg", "--sum", "-w", "400", "-c", "500"}, three, plugin::State::Warning,
         "MEMORY WARNING - 3 processes named pg use 405 MB of working memory in total, largest pid 11 with 300 MB | "
         "working=424673280B;419430400;524288000;0; processes=3;;;0;\n"},
        {{"-C", "postgres"}, one, plugin::State::Ok,
         "MEMORY OK - 1 process named postgres: pid 1234 uses 512 MB of working memory | working=537919487B;;;0; "
         "processes=1;;;0;\n"},
        {{"-C", "postgres", "--sum"}, one, plugin::State::Ok,
         "MEMORY OK - 1 process named postgres uses 512 MB of working memory in total | working=537919487B;;;0; "
         "processes=1;;;0;\n"},
        {{"-C", "big", "--sum"}, {{1, "big", UINT64_MAX - 5}, {2, "big", 10}}, plugin::State::Ok,
         "MEMORY OK - 2 processes named big use 17592186044415 MB of working memory in total, largest pid 1 with "
         "17592186044415 MB | working=18446744073709551615B;;;0; processes=2;;;0;\n"},
    };
    for (const auto& c : cases) {
        plugin::State state = plugin::State::Unknown;
        EXPECT_EQ(plugin::StatusLine(Opts(c.args), c.samples, &state), c.line);
        EXPECT_EQ(state, c.state) << c.line;
    }
}

}  // namespace
