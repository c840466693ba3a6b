// The plugin's command line:
//   check_trelmark SELECTION [-m working|private|pss|uss|peak|swap|anon|cgroup|cgroup-workingset|cgroup-peak]
//                  [-w RANGE] [-c RANGE] [--processes-warning RANGE] [--processes-critical RANGE]
//                  [--children] [--sum] [--empty-state STATE] [-t SECONDS] [-v]
//                  [--format=prometheus | --textfile=PATH [--label NAME=VALUE]... [--per-process]]
//   SELECTION: -p PID | -f PIDFILE | one or more of -C NAME, -a TEXT,
//              --ereg-argument-array REGEX, -u USER, --service NAME, --cgroup PATH
//              (the values of one of them: any; of different ones: all)
//   check_trelmark -h | --help        check_trelmark -V | --version
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/Win32.h"
#include "plugin/Range.h"
#include "plugin/Selection.h"

namespace plugin {

// Command: several processes, chosen by the criteria in Options::selection.
enum class Selector { None, Pid, Pidfile, Command };

enum class State { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };
// The figure measured: the working set, the private committed memory, the
// proportional and the unique set size, the peak working set, the swapped
// out and the resident anonymous memory; then the figures of a control group
// itself: its charge, its working set and its peak.
enum class Metric { Working, Private, Proportional, Unique, Peak, Swap, Anonymous, Group, GroupWorkingSet, GroupPeak };

// Whether `metric` is read from a control group rather than per process.
inline bool IsGroupMetric(Metric metric) { return metric >= Metric::Group; }

// The status line, or the Prometheus text exposition format (Exposition.h).
enum class Format { Plugin, Prometheus };

// The -m value that selects `metric`, which is also its performance data label.
const char* MetricName(Metric metric);

// The figure in the status text's words, as "working memory".
const char* MetricWords(Metric metric);

struct Options {
    Selector selector = Selector::None;
    DWORD pid = 0;       // -p
    std::string target;  // the text given to -p or -f, or the first criterion's
    Selection selection;
    State emptyState = State::Unknown;  // when nothing is selected or a service is not running
    Metric metric = Metric::Working;
    bool hasWarning = false;
    Range warning;
    bool hasCritical = false;
    Range critical;
    // Ranges on the number of processes selected.
    bool hasProcessesWarning = false;
    Range processesWarning;
    bool hasProcessesCritical = false;
    Range processesCritical;
    bool children = false;  // the selected processes' descendants are selected too
    bool sum = false;
    bool verbose = false;  // -v: with several processes, one more line for each
    unsigned timeoutSeconds = 10;
    bool help = false;
    bool version = false;
    // --format=prometheus, --textfile (which implies it), --label, --per-process
    Format format = Format::Plugin;
    std::string textfile;
    std::vector<std::pair<std::string, std::string>> labels;
    bool perProcess = false;
    std::string selectionWords;  // the selection's options and values as given, raw
    std::vector<Metric> figures;  // what the exposition reports beside `metric`
    std::string labelText;        // every series' labels, as the exposition writes them
    // Set by the check once measured: the perfdata's max field (the 100%
    // of a share, or a control group's limit).
    bool hasMaximum = false;
    uint64_t maximum = 0;

    // Whether the check may select several processes (and count them).
    bool Several() const { return selector == Selector::Command || children; }
    bool HasCountRange() const { return hasProcessesWarning || hasProcessesCritical; }
};

constexpr unsigned kMaxTimeoutSeconds = 86400;

extern const char kUsageLine[];

// Fills `options` from argv[1..argc-1]. On a bad command line returns false
// with `error` saying why (quoting what was given, made printable).
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

// `text` with every byte that could break a status line (control
// characters, '|', which starts the performance data, and bytes that are not
// valid UTF-8, which engines' APIs refuse) shown as '?'.
std::string Printable(const std::string& text);

// A value the user gave, as the status line echoes it: Printable, and cut
// to kMaxShownBytes, so that a line that echoes what it was given stays
// within the 1 KB NRPE passes on, with its performance data.
std::string Echoed(const std::string& text);
constexpr size_t kMaxShownBytes = 160;

// `text` (valid UTF-8) when it has at most `most` bytes (at least 4), else
// its start and "...", `most` bytes or fewer in all.
std::string Shortened(std::string text, size_t most);

// The length of the valid UTF-8 sequence at text[i], 0 when there is none
// (stray continuation bytes, overlong forms, surrogates, beyond U+10FFFF).
size_t Utf8Length(const std::string& text, size_t i);

}  // namespace plugin
