// The Prometheus text the plugin gives: its options, labels and escaping,
// and the exposition of each kind of outcome, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ProcessMemory.h"
#include "plugin/Exposition.h"
#include "tests/plugin/ParseOptions.h"

namespace {

using plugin::Metric;
using plugintest::Parse;
using plugintest::Parsed;

// The cheap figures: from one read of the counters, and where the system
// keeps them (Linux) the swapped-out and anonymous memory from status; and
// what -m asks for.
std::vector<Metric> Cheap(Metric asked = Metric::Working) {
    std::vector<Metric> figures = {Metric::Working, Metric::Private, Metric::Peak};
    if (asked == Metric::Proportional || asked == Metric::Unique) figures.push_back(asked);
    const std::pair<Metric, platform::StatusFigure> status[] = {{Metric::Swap, platform::StatusFigure::Swap},
                                                                {Metric::Anonymous, platform::StatusFigure::Anonymous}};
    for (const auto& s : status) {
        if (s.first == asked || platform::StatusFigureProblem(s.second) == nullptr) figures.push_back(s.first);
    }
    return figures;
}

TEST(ExpositionOptions, AcceptedFormsAndTheFiguresTheyMeasure) {
    const struct {
        std::vector<const char*> args;
        std::vector<Metric> figures;  // none: the plugin's format
        const char* words;
        const char* textfile = "";
    } cases[] = {
        {{"-p", "5", "--format=plugin"}, {}, "-p 5"},
        {{"-f", "/run/a b.pid", "--format", "PROMETHEUS", "-m", "pss"}, Cheap(Metric::Proportional), "-f /run/a b.pid"},
        {{"--command=x", "-a", "b \"c\"", "--service", "s", "--textfile", "/t/x.prom", "-m", "uss"},
         Cheap(Metric::Unique), "-C x -a b \"c\" --service s", "/t/x.prom"},
        {{"-C", "x", "--textfile=x.prom", "-m", "peak"}, Cheap(), "-C x", "x.prom"},
        {{"-C", "x", "--format=plugin", "--textfile=y"}, Cheap(), "-C x", "y"},
        // A control group's own figures are read for the group, not for each process.
        {{"--cgroup", "/a", "--format=prometheus", "-m", "cgroup-peak"}, Cheap(), "--cgroup /a"},
        {{"-p", "5", "--format=prometheus", "-m", "swap"}, Cheap(Metric::Swap), "-p 5"},
    };
    for (const auto& c : cases) {
        const Parsed p = Parse(c.args);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(p.options.format, c.figures.empty() ? plugin::Format::Plugin : plugin::Format::Prometheus) << c.words;
        EXPECT_EQ(p.options.textfile, c.textfile);
        EXPECT_EQ(p.options.figures, c.figures) << c.words;
        EXPECT_EQ(p.options.selectionWords, c.words);
    }
}

TEST(ExpositionOptions, RefusesWhatTheFormatForbidsWithTheReason) {
    const auto label = [](const char* given) {
        return std::vector<const char*>{"-p", "1", "--textfile=x", "--label", given};
    };
    const auto badName = [](const std::string& name) {
        return "invalid label name \"" + name + "\" (a letter or _, then letters, digits and _; --label NAME=VALUE)";
    };
    const std::string ours = "\": the plugin gives that label itself";
    const std::string alone = "--label and --per-process go with --format=prometheus or --textfile";
    const struct {
        std::vector<const char*> args;
        std::string error;
    } cases[] = {
        {{"-p", "1", "--format=json"}, "invalid format \"json\" (use plugin or prometheus)"},
        {{"-p", "1", "--textfile="}, "the textfile name is empty"},
        {label("9x=y"), badName("9x")},
        {label("=y"), badName("")},
        {label("a-b=y"), badName("a-b")},
        {label("a\nb=y"), badName("a?b")},
        {label("env"), "invalid label \"env\" (use --label NAME=VALUE)"},
        {label("selection=y"), "invalid label name \"selection" + ours},
        {label("pid=y"), "invalid label name \"pid" + ours},
        {label("__name__=y"), "invalid label name \"__name__\": names that begin with __ are Prometheus' own"},
        {{"-p", "1", "--format=prometheus", "--label", "env=a", "--label", "team=b", "--label", "env=a"},
         "label \"env\" given twice"},
        {{"-p", "1", "--label", "env=a"}, alone},
        {{"-p", "1", "--per-process"}, alone},
    };
    for (const auto& c : cases) {
        const Parsed p = Parse(c.args);
        EXPECT_FALSE(p.ok) << c.error;
        EXPECT_EQ(p.error, c.error);
    }
}

TEST(Exposition, MetricNamesFollowTheFigures) {
    // Each row of the table spells out the name -m's figure gives.
    for (Metric m : {Metric::Working, Metric::Private, Metric::Proportional, Metric::Unique, Metric::Peak, Metric::Swap,
                     Metric::Anonymous, Metric::Group, Metric::GroupWorkingSet, Metric::GroupPeak}) {
        for (bool perProcess : {false, true}) {
            EXPECT_EQ(plugin::FigureMetricName(m, perProcess), plugin::DerivedMetricName(m, perProcess))
                << plugin::MetricName(m);
        }
    }
}

plugin::Sample Sample(unsigned long pid, std::vector<uint64_t> figures) {
    plugin::Sample s;
    s.pid = static_cast<DWORD>(pid);
    for (uint64_t f : figures) s.figures[s.figureCount++] = f;
    return s;
}

// A gauge: its HELP and TYPE lines, then `name` with each of `series`.
std::string Gauge(const std::string& name, const std::string& help, const std::vector<std::string>& series) {
    std::string text = "# HELP " + name + " " + help + "\n# TYPE " + name + " gauge\n";
    for (const std::string& s : series) text += name + s + "\n";
    return text;
}

// The figures as an exposition orders them, with what their HELP says they are.
const struct {
    Metric metric;
    std::string name, what;
} kFigures[] = {{Metric::Working, "working", "Working set (resident memory)"},
                {Metric::Private, "private", "Private memory committed"},
                {Metric::Peak, "peak", "Peak working set"},
                {Metric::Proportional, "pss", "Proportional set size (shared pages divided among their users)"}};

TEST(Exposition, EachOutcomeByteForByte) {
    using plugin::State;
    const std::string kBad = "\xef\xbf\xbd";  // U+FFFD
    const struct {
        std::vector<const char*> args;
        std::string labels;
        plugin::Outcome outcome;          // its samples with Windows' figures (and pss)
        std::vector<uint64_t> selection;  // its figures, then with --per-process each process's own
    } cases[] = {
        // Labels in their order, values escaped, other characters as they are, each byte that is not UTF-8
        // (stray, overlong, cut short) one U+FFFD.
        {{"-C", "pg \"x\"\\", "--sum", "-m", "pss", "--format=prometheus", "--label",
          "env=a=\nb\t\xc3\xa9\xe2\x82\xac\xff\xc0\xaf\xc3", "--label=_x=", "--label", "Team9=y", "--per-process"},
         "selection=\"-C pg \\\"x\\\"\\\\\",env=\"a=\\nb\t\xc3\xa9\xe2\x82\xac" + kBad + kBad + kBad + kBad +
             "\",_x=\"\",Team9=\"y\"",
         {State::Critical, true, 3, 1, true, {Sample(7, {100, 200, UINT64_MAX - 1, 40}), Sample(9, {1, 2, 3, 4})}, 1, {},
          false, 0},
         {101, 202, UINT64_MAX, 44}},  // a total past 64 bits stays at the most
        // Without --sum the deciding process, neither the first nor the largest, stands for the selection.
        {{"-u", "db", "--textfile=x.prom"}, "selection=\"-u db\"",
         {State::Warning, true, 3, 0, true, {Sample(7, {100, 200, 300}), Sample(8, {50, 60, 70}), Sample(9, {1, 2, 3})},
          1, {}, false, 0},
         {50, 60, 70}},
    };
    for (const auto& c : cases) {
        Parsed p = Parse(c.args);
        ASSERT_TRUE(p.ok) << p.error;
        const auto one = [&](uint64_t value) { return "{" + c.labels + "} " + std::to_string(value); };
        const uint64_t state = static_cast<uint64_t>(c.outcome.state);
        std::string text =
            Gauge("trelmark_state", "State of the check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.", {one(state)}) +
            Gauge("trelmark_processes", "Processes the selection matched, read or not.", {one(c.outcome.processes)}) +
            Gauge("trelmark_unreadable_processes", "Processes the selection matched that could not be read.",
                  {one(c.outcome.unreadable)});
        p.options.figures.clear();
        for (size_t f = 0; f < c.selection.size(); ++f) {
            p.options.figures.push_back(kFigures[f].metric);
            text += Gauge("trelmark_" + kFigures[f].name + "_bytes",
                          kFigures[f].what + " of the selection in bytes: with --sum the total, otherwise the process "
                                             "that decides the state.",
                          {one(c.selection[f])});
        }
        for (size_t f = 0; f < c.selection.size() && p.options.perProcess; ++f) {
            std::vector<std::string> series;
            for (const plugin::Sample& s : c.outcome.samples) {
                series.push_back("{" + c.labels + ",pid=\"" + std::to_string(s.pid) + "\"} " +
                                 std::to_string(s.figures[f]));
            }
            text += Gauge("trelmark_process_" + kFigures[f].name + "_bytes",
                          kFigures[f].what + " of one selected process in bytes.", series);
        }
        EXPECT_EQ(plugin::Exposition(p.options, c.outcome), text);
    }
}

// The text given at the end is written on the caller's stack while it fits
// and in a string of its own once it outgrows it, the same bytes either way:
// lengths on each side of the room's end, and a text many times its size.
TEST(Exposition, InTheRoomOrGrownTheSameText) {
    using plugin::State;
    bool inRoom = false, grown = false;
    for (size_t samples : {2u, 300u}) {
        plugin::Outcome outcome{State::Ok, true, samples, 0, true, {}, 0, {}, false, 0};
        for (size_t i = 0; i < samples; ++i) outcome.samples.push_back(Sample(1000 + i, {100 * i, 200 * i, 300 * i}));
        for (size_t length = 150; length < 300; ++length) {
            const std::string label = "team=" + std::string(length, 'x');
            Parsed p = Parse({"-C", "x", "--format=prometheus", "--per-process", "--label", label.c_str()});
            ASSERT_TRUE(p.ok) << p.error;
            p.options.figures = {Metric::Working, Metric::Private, Metric::Peak};
            plugin::ExpositionRoom room;
            const std::string_view text = plugin::Exposition(p.options, outcome, &room);
            const bool here = text.data() >= room.bytes && text.data() < room.bytes + sizeof room.bytes;
            // (a series asks for its most before it is written: one that would just fit may grow)
            if (here) {
                EXPECT_LE(text.data() + text.size(), room.bytes + sizeof room.bytes) << length;
            }
            inRoom = inRoom || here;
            grown = grown || !here;
            EXPECT_EQ(text, plugin::Exposition(p.options, outcome)) << samples << " processes, " << length;
            if (samples > 2) break;
        }
    }
    EXPECT_TRUE(inRoom);
    EXPECT_TRUE(grown);
}

TEST(Exposition, TheTemporaryFileNeverEndsInProm) {
    EXPECT_EQ(plugin::TemporaryPath("/var/lib/prometheus/node-exporter/app.prom", 4242),
              "/var/lib/prometheus/node-exporter/app.prom.4242.tmp");
}

}  // namespace
