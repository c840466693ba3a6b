// The plugin's command line: every accepted form and every refusal.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "plugin/Options.h"
#include "tests/plugin/ParseOptions.h"

namespace {

using plugintest::Parse;
using plugintest::Parsed;

TEST(CommandLine, AcceptsShortLongAndAttachedForms) {
    for (const auto& args : std::vector<std::vector<const char*>>{
             {"-p", "42", "-m", "private", "-w", "10:", "-c", "@5:6", "-t", "3"},
             {"-p42", "-mprivate", "-w10:", "-c@5:6", "-t3"},
             {"--pid", "42", "--metric", "private", "--warning", "10:", "--critical", "@5:6", "--timeout", "3"},
             {"--pid=42", "--metric=private", "--warning=10:", "--critical=@5:6", "--timeout=3"},
             {"-p", "42", "-m", "PRIVATE", "-w", "", "-w", "10:", "-c", "@5:6", "-t", "3", "-v", "--"},
             {"-p", "42", "-mPrivate", "-w10:", "-c", "", "-c@5:6", "--timeout=3", "--verbose"},
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

    // Empty thresholds (an engine's empty macro) set none; the limits' accepted edges.
    const Parsed edges = Parse({"-C", "fifteen-chars-x", "-w", "", "-c", "", "-t", "86400", "-w", "9999999999999:9999999999999"});
    ASSERT_TRUE(edges.ok) << edges.error;
    EXPECT_TRUE(edges.options.hasWarning);
    EXPECT_FALSE(edges.options.hasCritical);
    EXPECT_EQ(edges.options.timeoutSeconds, 86400u);

    // Count ranges and process trees (--children makes -f several); an empty count range is none.
    const Parsed counted = Parse({"-C", "a", "-C", "b", "--processes-warning", "2:", "--processes-critical=1:9",
                                  "--processes-warning", "", "--children"});
    ASSERT_TRUE(counted.ok) << counted.error;
    EXPECT_FALSE(counted.options.hasProcessesWarning);
    EXPECT_TRUE(counted.options.hasProcessesCritical);
    EXPECT_EQ(counted.options.processesCritical.TimesPowerOfTwo(0), "1:9");
    EXPECT_EQ(counted.options.selection.Names(), "a or b");
    EXPECT_TRUE(Parse({"-f", "/run/x.pid", "--children", "--sum", "--processes-critical", "1:"}).ok);

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
    const std::string none = "no process given: use -p PID, -f PIDFILE or any of -C NAME, -a TEXT, --ereg-argument-array "
                             "REGEX, -u USER, --service NAME, --cgroup PATH";
    const std::string combined = "-p and -f name one process: they combine with none of -C, -a, --ereg-argument-array, "
                                 "-u, --service and --cgroup";
    const std::string metrics = "\" (use working, private, pss, uss, peak, swap, anon, cgroup, cgroup-workingset or cgroup-peak)";
    const std::string whole = " measures the whole control group: it combines with no other selector than one --service or --cgroup";
    const std::string peaks = "--sum -m peak would add peaks that never coexisted: ";
    const struct {
        std::vector<const char*> args;
        std::string error;
    } cases[] = {
        {{}, none},
        {{"-w", "10"}, none},
        {{"-p", "1", "-C", "x"}, combined},
        {{"-p", "1", "-p", "2"}, "-p and -f name one process: give one -p or one -f"},
        {{"-f", "a", "-p", "1"}, "-p and -f name one process: give one -p or one -f"},
        {{"-p", "1", "--processes-warning", "2"},
         "--processes-warning and --processes-critical count several processes: they need -C, -a, --ereg-argument-array, "
         "-u, --service, --cgroup or --children"},
        {{"-C", "x", "--processes-critical", "x"}, "invalid processes critical range \"x\""},
        {{"-p", "0"}, "invalid process id \"0\""},
        {{"-p", "-5"}, "invalid process id \"-5\""},
        {{"-p", "4294967296"}, "invalid process id \"4294967296\""},
        {{"-p", "12abc"}, "invalid process id \"12abc\""},
        {{"-p", ""}, "invalid process id \"\""},
        {{"-p"}, "option -p needs a value"},
        {{"--pid"}, "option --pid needs a value"},
        {{"-f", ""}, "the pidfile name is empty"},
        {{"-C", ""}, "invalid process name \"\": the process name is empty"},
        {{"-p", "1", "-m", "virtual"}, "invalid metric \"virtual" + metrics},
        {{"-p", "1", "-m", ""}, "invalid metric \"" + metrics},
        {{"-p", "1", "-w", "abc"}, "invalid warning range \"abc\""},
        {{"-p", "1", "-c", "20:10"}, "invalid critical range \"20:10\""},
        {{"-p", "1", "-t", "0"}, "invalid timeout \"0\" (whole seconds, 1 to 86400)"},
        {{"-p", "1", "-t", "86401"}, "invalid timeout \"86401\" (whole seconds, 1 to 86400)"},
        {{"-p", "1", "--sum"}, "--sum adds up several processes: it needs -C, -a, --ereg-argument-array, -u, --service, --cgroup or --children"},
        {{"-C", "x", "-f", "y"}, combined},
        {{"-u", "x", "-p", "1"}, combined},
        {{"-a", ""}, "invalid argument text \"\": the text is empty"},
        {{"--service="}, "invalid service name \"\": the service name is empty"},
        {{"--cgroup", "system.slice"}, "invalid control group \"system.slice\": a control group path starts with / (as /proc/PID/cgroup shows it)"},
        {{"-a", "x", "--empty-state=sometimes"}, "invalid empty state \"sometimes\" (use ok, warning, critical or unknown)"},
        {{"-p", "1", "--sum=yes"}, "option --sum takes no value"},
        {{"-p", "1", "-x"}, "unknown option \"-x\""},
        {{"-p", "1", "-hx"}, "unknown option \"-hx\""},
        {{"-p", "1", "--pids=3"}, "unknown option \"--pids\""},
        {{"-p", "1", "extra"}, "unexpected argument \"extra\""},
        {{"-p", "1", "-"}, "unexpected argument \"-\""},
        {{"-p", "1", "--", "-w"}, "unexpected argument \"-w\""},
        {{"-p", "1", "-w", "10000000000000"}, "invalid warning range \"10000000000000\""},
        {{"-p", "1", "-c", "10%:200"}, "invalid critical range \"10%:200\": one range is all in % or all in MB (10%:20%, 10:200)"},
        // A group's figure for the whole group, never narrowed; peaks never added.
        {{"--service", "pg", "-C", "x", "-m", "cgroup"}, "-m cgroup" + whole},
        {{"--cgroup", "/a", "--cgroup", "/b", "-m", "cgroup-workingset"}, "-m cgroup-workingset" + whole},
        {{"--service", "pg", "-m", "cgroup", "--sum"}, "-m cgroup is the group's own figure: --sum adds nothing to it"},
        {{"--service", "pg", "--children", "-m", "cgroup"}, "-m cgroup" + whole},
        {{"--service", "pg", "-m", "cgroup", "--processes-critical", "1:"},
         "-m cgroup reads the group's own counters, not its processes: the count ranges need a per-process figure"},
        {{"-C", "pg", "--processes-warning", "50%"}, "invalid processes warning range \"50%\": a count range takes no %"},
        {{"--service", "pg", "--sum", "-m", "peak"}, peaks + "use -m cgroup-peak, the control group's own peak"},
        {{"-C", "pg", "--sum", "-m", "PEAK"}, peaks + "compare each process's peak without --sum"},
        // Untrusted text is quoted, printable and never a format.
        {{"-p", "%s%n|x\n"}, "invalid process id \"%s%n?x?\""},
    };
    for (const auto& c : cases) {
        const Parsed p = Parse(c.args);
        EXPECT_FALSE(p.ok) << c.error;
        EXPECT_EQ(p.error, c.error);
    }
}

// A long option is named whole: the start of a name (even one all options
// of that letter share) is none, and a longer one is another.
TEST(CommandLine, LongOptionsByTheirWholeName) {
    for (const auto& [args, error] : std::vector<std::pair<std::vector<const char*>, std::string>>{
             {{"--pi", "1"}, "unknown option \"--pi\""},
             {{"-p", "1", "--form=prometheus"}, "unknown option \"--form\""},
             {{"-p", "1", "--c"}, "unknown option \"--c\""},
             {{"-p", "1", "--textfiles=x.prom"}, "unknown option \"--textfiles\""},
         }) {
        const Parsed p = Parse(args);
        EXPECT_FALSE(p.ok) << error;
        EXPECT_EQ(p.error, error);
    }
}

// Each figure by its name; a group's with another selector is refused at
// run time, with the figure to use.
TEST(CommandLine, EachFigureByItsName) {
    for (const auto& [args, metric] : std::vector<std::pair<std::vector<const char*>, plugin::Metric>>{
             {{"-p", "1", "-m", "swap"}, plugin::Metric::Swap},
             {{"-C", "x", "--sum", "-m", "ANON"}, plugin::Metric::Anonymous},
             {{"--cgroup", "/a", "-m", "cgroup-workingset", "-w", "50%:"}, plugin::Metric::GroupWorkingSet},
             {{"--service", "pg", "-m", "cgroup-peak", "-c", "4096"}, plugin::Metric::GroupPeak},
             {{"-p", "1", "-m", "cgroup"}, plugin::Metric::Group},
             {{"--service", "pg", "-m", "peak"}, plugin::Metric::Peak},
         }) {
        const Parsed p = Parse(args);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(p.options.metric, metric) << plugin::MetricName(metric);
    }
    // -w and -c may differ, one a share and one in MB.
    const Parsed shares = Parse({"--service", "pg", "-m", "cgroup", "-w", "80%", "-c", "4096"});
    ASSERT_TRUE(shares.ok) << shares.error;
    EXPECT_TRUE(shares.options.warning.percent);
    EXPECT_FALSE(shares.options.critical.percent);
}

TEST(CommandLine, UsageLineHoldsNoPerformanceDataSeparator) {
    EXPECT_EQ(std::string(plugin::kUsageLine).find('|'), std::string::npos) << plugin::kUsageLine;
}

}  // namespace
