// The check's answer in the Prometheus text exposition format (0.0.4), as
// node_exporter's and windows_exporter's textfile collectors read it: every
// figure the selection gives cheaply in one run, the state and the counts,
// printed (--format=prometheus) or put in place of a file (--textfile).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "plugin/Options.h"
#include "plugin/Processes.h"

namespace plugin {

// What a check found, as far as it got.
struct Outcome {
    State state = State::Unknown;
    bool counted = false;        // the counts are known
    size_t processes = 0;        // matched: measured and unreadable
    size_t unreadable = 0;       // matched, but not measured
    bool measured = false;       // the status line carries a figure
    std::vector<Sample> samples;  // measured, each with Options::figures
    size_t deciding = 0;         // the sample whose figures stand for the selection without --sum
    // With one --service or --cgroup on Linux: the control group's own
    // figures (cgroup, cgroup-workingset, cgroup-peak) and its limit.
    std::vector<std::pair<Metric, uint64_t>> group;
    bool groupLimited = false;
    uint64_t groupLimit = 0;
};

// The figures an exposition reports: every cheap one and `asked` (-m), in
// the table's order.
std::vector<Metric> ExpositionFigures(Metric asked);

// The metric a figure is reported as: "trelmark_working_bytes" for
// Metric::Working, "trelmark_process_working_bytes" with --per-process.
std::string FigureMetricName(Metric metric, bool perProcess);
// The same derived from MetricName ('-' in a figure's name becomes '_'),
// which each row of the figure table must agree with.
std::string DerivedMetricName(Metric metric, bool perProcess);

// Adds one --label NAME=VALUE; false with `error` for a name the format
// forbids, one of the plugin's own, or one given before.
bool AddLabel(const char* text, std::vector<std::pair<std::string, std::string>>* labels, std::string* error);

// Checks the exposition options against each other and completes them
// (--textfile implies the format; the figures to measure).
bool ExpositionOptionsAgree(Options* options, std::string* error);

// `text` as a label value: backslash, double quote and newline escaped,
// bytes that are not UTF-8 replaced by U+FFFD.
std::string LabelValue(const std::string& text);

// The exposition of `outcome`. A check that measured nothing (nothing
// selected, a failure, a timeout) gives the state and what it counted only.
std::string Exposition(const Options& options, const Outcome& outcome);

// Room for an exposition on the caller's stack: a run's text, a few KB, is
// written there without an allocation; a longer one (--per-process over
// many processes) in `grown`.
struct ExpositionRoom {
    char bytes[4096];
    std::string grown;
};
// The same text, in `room`; valid while `room` is.
std::string_view Exposition(const Options& options, const Outcome& outcome, ExpositionRoom* room);

// The name the file is written under before it is renamed to `path`: beside
// it, never ending in .prom, which the collectors read.
std::string TemporaryPath(const std::string& path, unsigned long pid);

// Reads the control group's own figures into `outcome` when the selection
// is one --service or --cgroup on a system with control groups; a figure the
// kernel does not keep is left out (the status line says why with -m).
void MeasureGroupFigures(const Options& options, Outcome* outcome);

// Gives the exposition: printed, exit status 0; or written to --textfile
// through `temporary` with `line`'s first line printed, 0 when written, 3
// with the reason on one line when not.
int DeliverExposition(const Options& options, const Outcome& outcome, const std::string& line,
                      const std::string& temporary);

}  // namespace plugin
