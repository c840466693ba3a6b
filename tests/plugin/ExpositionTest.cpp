// The Prometheus text the plugin gives: its options, labels and escaping,
// and the exposition of each kind of outcome, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/ProcessMemory.h"
#include "plugin/Exposition.h"
#include "tests/plugin/ParseOptions.h"

namespace {

using plugin::Metric;
using plugintest::Parse;
using plugintest::Parsed;
using Labels = std::vector<std::pair<std::string, std::string>>;

// The cheap figures: from one read of the counters, and where the system
// keeps them (Linux) the swapped-out and anonymous memory from status.
std::vector<Metric> Cheap(std::vector<Metric> more = {}) {
    std::vector<Metric> figures = {Metric::Working, Metric::Private, Metric::Peak};
    for (Metric asked : more) {
        if (asked != Metric::Swap && asked != Metric::Anonymous) figures.push_back(asked);
    }
    bool swap = platform::StatusFigureProblem(platform::StatusFigure::Swap) == nullptr;
    bool anon = platform::StatusFigureProblem(platform::StatusFigure::Anonymous) == nullptr;
    for (Metric asked : more) swap = swap || asked == Metric::Swap, anon = anon || asked == Metric::Anonymous;
    if (swap) figures.push_back(Metric::Swap);
    if (anon) figures.push_back(Metric::Anonymous);
    return figures;
}

TEST(ExpositionOptions, AcceptedFormsAndTheFiguresTheyMeasure) {
    const struct {
        std::vector<const char*> args;
        plugin::Format format;
        const char* textfile;
        Labels labels;
        std::vector<Metric> figures;
        const char* words;
    } cases[] = {
        {{"-p", "5"}, plugin::Format::Plugin, "", {}, {}, "-p 5"},
        {{"--pid=5", "--format=prometheus"}, plugin::Format::Prometheus, "", {}, Cheap(), "-p 5"},
        {{"-f", "/run/a b.pid", "--format", "PROMETHEUS", "-m", "pss"}, plugin::Format::Prometheus, "", {},
         Cheap({Metric::Proportional}), "-f /run/a b.pid"},
        {{"--command=x", "-a", "b \"c\"", "--service", "s", "--textfile", "/t/x.prom", "-m", "uss"}, plugin::Format::Prometheus,
         "/t/x.prom", {}, Cheap({Metric::Unique}), "-C x -a b \"c\" --service s"},
        {{"-C", "x", "--textfile=x.prom", "-m", "peak", "--label", "env=a=b", "--label=_x=", "--label", "Team9=\xff"},
         plugin::Format::Prometheus, "x.prom", {{"env", "a=b"}, {"_x", ""}, {"Team9", "\xff"}}, Cheap(), "-C x"},
        {{"-C", "x", "--format=plugin"}, plugin::Format::Plugin, "", {}, {}, "-C x"},
        {{"-C", "x", "--format=plugin", "--textfile=y"}, plugin::Format::Prometheus, "y", {}, Cheap(), "-C x"},
        // A control group's own figures are read for the group, not for each process.
        {{"--cgroup", "/a", "--format=prometheus", "-m", "cgroup-peak"}, plugin::Format::Prometheus, "", {}, Cheap(),
         "--cgroup /a"},
        {{"-p", "5", "--format=prometheus", "-m", "swap"}, plugin::Format::Prometheus, "", {}, Cheap({Metric::Swap}), "-p 5"},
    };
    for (const auto& c : cases) {
        const Parsed p = Parse(c.args);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(p.options.format, c.format) << c.words;
        EXPECT_EQ(p.options.textfile, c.textfile);
        EXPECT_EQ(p.options.labels, c.labels);
        EXPECT_EQ(p.options.figures, c.figures) << c.words;
        EXPECT_EQ(p.options.selectionWords, c.words);
    }
    EXPECT_TRUE(Parse({"-C", "x", "--format=prometheus", "--per-process"}).options.perProcess);
}

TEST(ExpositionOptions, RefusesWhatTheFormatForbidsWithTheReason) {
    const struct {
        std::vector<const char*> args;
        const char* error;
    } cases[] = {
        {{"-p", "1", "--format=json"}, "invalid format \"json\" (use plugin or prometheus)"},
        {{"-p", "1", "--format="}, "invalid format \"\" (use plugin or prometheus)"},
        {{"-p", "1", "--textfile="}, "the textfile name is empty"},
        {{"-p", "1", "--textfile"}, "option --textfile needs a value"},
        {{"-p", "1", "--format=prometheus", "--label", "9x=y"},
         "invalid label name \"9x\" (a letter or _, then letters, digits and _; --label NAME=VALUE)"},
        {{"-p", "1", "--format=prometheus", "--label", "=y"},
         "invalid label name \"\" (a letter or _, then letters, digits and _; --label NAME=VALUE)"},
        {{"-p", "1", "--format=prometheus", "--label", "a-b=y"},
         "invalid label name \"a-b\" (a letter or _, then letters, digits and _; --label NAME=VALUE)"},
        {{"-p", "1", "--format=prometheus", "--label", "\xc3\xa9t\xc3\xa9=y"},
         "invalid label name \"\xc3\xa9t\xc3\xa9\" (a letter or _, then letters, digits and _; --label NAME=VALUE)"},
        {{"-p", "1", "--format=prometheus", "--label", "a\nb=y"},
         "invalid label name \"a?b\" (a letter or _, then letters, digits and _; --label NAME=VALUE)"},
        {{"-p", "1", "--format=prometheus", "--label", "env"}, "invalid label \"env\" (use --label NAME=VALUE)"},
        {{"-p", "1", "--format=prometheus", "--label", ""}, "invalid label \"\" (use --label NAME=VALUE)"},
        {{"-p", "1", "--format=prometheus", "--label", "selection=y"},
         "invalid label name \"selection\": the plugin gives that label itself"},
        {{"-p", "1", "--format=prometheus", "--label", "pid=y"},
         "invalid label name \"pid\": the plugin gives that label itself"},
        {{"-p", "1", "--format=prometheus", "--label", "__name__=y"},
         "invalid label name \"__name__\": names that begin with __ are Prometheus' own"},
        {{"-p", "1", "--textfile=x", "--label", "env=a", "--label", "team=b", "--label", "env=a"},
         "label \"env\" given twice"},
        {{"-p", "1", "--label", "env=a"}, "--label and --per-process go with --format=prometheus or --textfile"},
        {{"-p", "1", "--per-process"}, "--label and --per-process go with --format=prometheus or --textfile"},
        {{"-p", "1", "--per-process=yes", "--format=prometheus"}, "option --per-process takes no value"},
    };
    for (const auto& c : cases) {
        const Parsed p = Parse(c.args);
        EXPECT_FALSE(p.ok) << c.error;
        EXPECT_EQ(p.error, c.error);
    }
}

TEST(Exposition, LabelValuesAreEscapedAndMadeUtf8) {
    const struct {
        std::string given;
        std::string shown;
    } cases[] = {
        {"plain", "plain"},
        {"a\\b", "a\\\\b"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"one\ntwo", "one\\ntwo"},
        {"\\\"\n", "\\\\\\\"\\n"},
        {"tab\there", "tab\there"},       // the format leaves other characters as they are
        {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
        {"a\xff" "b", "a\xef\xbf\xbd" "b"},    // a byte that is never UTF-8
        {"\xc3", "\xef\xbf\xbd"},           // a sequence cut short
        {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},  // an overlong '/'
        {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // a surrogate
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(plugin::LabelValue(c.given), c.shown) << c.given;
}

TEST(Exposition, MetricNamesFollowTheFigures) {
    EXPECT_EQ(plugin::FigureMetricName(Metric::Working, false), "trelmark_working_bytes");
    EXPECT_EQ(plugin::FigureMetricName(Metric::Proportional, false), "trelmark_pss_bytes");
    EXPECT_EQ(plugin::FigureMetricName(Metric::Unique, true), "trelmark_process_uss_bytes");
    EXPECT_EQ(plugin::FigureMetricName(Metric::Peak, true), "trelmark_process_peak_bytes");
    EXPECT_EQ(plugin::FigureMetricName(Metric::GroupWorkingSet, false), "trelmark_cgroup_workingset_bytes");
    EXPECT_EQ(plugin::FigureMetricName(Metric::Anonymous, false), "trelmark_anon_bytes");
    // Each row of the table spells out the name -m's figure gives.
    for (Metric m : {Metric::Working, Metric::Private, Metric::Proportional, Metric::Unique, Metric::Peak, Metric::Swap,
                     Metric::Anonymous, Metric::Group, Metric::GroupWorkingSet, Metric::GroupPeak}) {
        for (bool perProcess : {false, true}) {
            EXPECT_EQ(plugin::FigureMetricName(m, perProcess), plugin::DerivedMetricName(m, perProcess)) << plugin::MetricName(m);
        }
    }
}

plugin::Sample Sample(unsigned long pid, std::vector<uint64_t> figures) {
    plugin::Sample s;
    s.pid = static_cast<DWORD>(pid);
    s.bytes = figures.front();
    for (uint64_t f : figures) s.figures[s.figureCount++] = f;
    return s;
}

const char kStateLines[] =
    "# HELP trelmark_state State of the check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n"
    "# TYPE trelmark_state gauge\n";
const char kCountLines[] =
    "# HELP trelmark_processes Processes the selection matched, read or not.\n"
    "# TYPE trelmark_processes gauge\n";
const char kUnreadableLines[] =
    "# HELP trelmark_unreadable_processes Processes the selection matched that could not be read.\n"
    "# TYPE trelmark_unreadable_processes gauge\n";
const char kSelectionHelp[] = " of the selection in bytes: with --sum the total, otherwise the process that decides the state.\n";

TEST(Exposition, EachOutcomeByteForByte) {
    Parsed sum = Parse({"-C", "pg \"x\"\\", "--sum", "-m", "pss", "--format=prometheus", "--label", "env=a\nb",
                        "--per-process"});
    ASSERT_TRUE(sum.ok) << sum.error;
    sum.options.figures = {Metric::Working, Metric::Private, Metric::Peak, Metric::Proportional};  // as Windows has them
    plugin::Outcome outcome;
    outcome.state = plugin::State::Critical;
    outcome.counted = true;
    outcome.processes = 3;
    outcome.unreadable = 1;
    outcome.measured = true;
    outcome.samples = {Sample(7, {100, 200, 300, 40}), Sample(9, {1, 2, 3, 4})};
    outcome.deciding = 1;
    const std::string labels = "selection=\"-C pg \\\"x\\\"\\\\\",env=\"a\\nb\"";
    EXPECT_EQ(plugin::Exposition(sum.options, outcome),
              std::string(kStateLines) + "trelmark_state{" + labels + "} 2\n" + kCountLines + "trelmark_processes{" +
                  labels + "} 3\n" + kUnreadableLines + "trelmark_unreadable_processes{" + labels + "} 1\n" +
                  "# HELP trelmark_working_bytes Working set (resident memory)" + kSelectionHelp +
                  "# TYPE trelmark_working_bytes gauge\ntrelmark_working_bytes{" + labels + "} 101\n" +
                  "# HELP trelmark_private_bytes Private memory committed" + kSelectionHelp +
                  "# TYPE trelmark_private_bytes gauge\ntrelmark_private_bytes{" + labels + "} 202\n" +
                  "# HELP trelmark_peak_bytes Peak working set" + kSelectionHelp +
                  "# TYPE trelmark_peak_bytes gauge\ntrelmark_peak_bytes{" + labels + "} 303\n" +
                  "# HELP trelmark_pss_bytes Proportional set size (shared pages divided among their users)" +
                  kSelectionHelp + "# TYPE trelmark_pss_bytes gauge\ntrelmark_pss_bytes{" + labels + "} 44\n" +
                  "# HELP trelmark_process_working_bytes Working set (resident memory) of one selected process in bytes.\n"
                  "# TYPE trelmark_process_working_bytes gauge\n"
                  "trelmark_process_working_bytes{" + labels + ",pid=\"7\"} 100\n"
                  "trelmark_process_working_bytes{" + labels + ",pid=\"9\"} 1\n"
                  "# HELP trelmark_process_private_bytes Private memory committed of one selected process in bytes.\n"
                  "# TYPE trelmark_process_private_bytes gauge\n"
                  "trelmark_process_private_bytes{" + labels + ",pid=\"7\"} 200\n"
                  "trelmark_process_private_bytes{" + labels + ",pid=\"9\"} 2\n"
                  "# HELP trelmark_process_peak_bytes Peak working set of one selected process in bytes.\n"
                  "# TYPE trelmark_process_peak_bytes gauge\n"
                  "trelmark_process_peak_bytes{" + labels + ",pid=\"7\"} 300\n"
                  "trelmark_process_peak_bytes{" + labels + ",pid=\"9\"} 3\n"
                  "# HELP trelmark_process_pss_bytes Proportional set size (shared pages divided among their users) "
                  "of one selected process in bytes.\n"
                  "# TYPE trelmark_process_pss_bytes gauge\n"
                  "trelmark_process_pss_bytes{" + labels + ",pid=\"7\"} 40\n"
                  "trelmark_process_pss_bytes{" + labels + ",pid=\"9\"} 4\n");
}

TEST(Exposition, WithoutSumTheDecidingProcessStandsForTheSelection) {
    const Parsed each = Parse({"-u", "db", "--textfile=x.prom"});
    ASSERT_TRUE(each.ok) << each.error;
    plugin::Outcome outcome;
    outcome.state = plugin::State::Warning;
    outcome.counted = true;
    outcome.processes = 3;
    outcome.measured = true;
    outcome.samples = {Sample(7, {100, 200, 300}), Sample(8, {50, 60, 70}), Sample(9, {1, 2, 3})};
    for (size_t deciding = 0; deciding < 3; ++deciding) {
        outcome.deciding = deciding;
        const std::string text = plugin::Exposition(each.options, outcome);
        const plugin::Sample& s = outcome.samples[deciding];
        EXPECT_NE(text.find("\ntrelmark_working_bytes{selection=\"-u db\"} " + std::to_string(s.figures[0]) + "\n"), std::string::npos) << text;
        EXPECT_NE(text.find("\ntrelmark_private_bytes{selection=\"-u db\"} " + std::to_string(s.figures[1]) + "\n"), std::string::npos) << text;
        EXPECT_NE(text.find("\ntrelmark_peak_bytes{selection=\"-u db\"} " + std::to_string(s.figures[2]) + "\n"), std::string::npos) << text;
        EXPECT_EQ(text.find("trelmark_process_"), std::string::npos);  // only with --per-process
        EXPECT_EQ(text.find("pss"), std::string::npos);                // only when -m asks
    }
}

TEST(Exposition, NothingMeasuredGivesTheStateAndWhatWasCounted) {
    const Parsed empty = Parse({"--service", "gone", "--textfile=x.prom", "--label", "host=h"});
    ASSERT_TRUE(empty.ok) << empty.error;
    const std::string labels = "selection=\"--service gone\",host=\"h\"";
    plugin::Outcome nothing;  // a timeout, or a failure before anything was counted
    EXPECT_EQ(plugin::Exposition(empty.options, nothing), std::string(kStateLines) + "trelmark_state{" + labels + "} 3\n");

    plugin::Outcome unreadable;  // every process matched, none read
    unreadable.counted = true;
    unreadable.processes = 2;
    unreadable.unreadable = 2;
    EXPECT_EQ(plugin::Exposition(empty.options, unreadable),
              std::string(kStateLines) + "trelmark_state{" + labels + "} 3\n" + kCountLines + "trelmark_processes{" +
                  labels + "} 2\n" + kUnreadableLines + "trelmark_unreadable_processes{" + labels + "} 2\n");

    plugin::Outcome none;  // nothing selected: --empty-state's state, counts of 0
    none.state = plugin::State::Ok;
    none.counted = true;
    EXPECT_EQ(plugin::Exposition(empty.options, none),
              std::string(kStateLines) + "trelmark_state{" + labels + "} 0\n" + kCountLines + "trelmark_processes{" +
                  labels + "} 0\n" + kUnreadableLines + "trelmark_unreadable_processes{" + labels + "} 0\n");
}

TEST(Exposition, TheTemporaryFileNeverEndsInProm) {
    EXPECT_EQ(plugin::TemporaryPath("/var/lib/prometheus/node-exporter/app.prom", 4242),
              "/var/lib/prometheus/node-exporter/app.prom.4242.tmp");
}

}  // namespace
