// The plugin's verdict: states, the status line and its performance data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/Options.h"
#include "plugin/Processes.h"

namespace plugin {

const char* StateName(State state);

// CRITICAL when the critical range alerts, else WARNING when the warning
// range alerts, else OK. The bytes are compared exactly with the range
// scaled to bytes, as the performance data shows it.
State Evaluate(const Options& options, uint64_t bytes);

// What a selection could not measure: its processes that could not be
// read, and /proc hiding other users' processes (HiddenProcessesNote's
// sentence). Either makes a total only a lower bound.
struct Shortfall {
    size_t unreadable = 0;
    std::string hidden;
};

// CRITICAL when the processes-critical range alerts at `count` processes,
// else WARNING when the processes-warning range does, else OK.
State EvaluateCount(const Options& options, size_t count);

// "MEMORY <STATE> - <text> | <performance data>\n" for the measured
// processes (at least one), with the state in `state`. With a shortfall the
// text says so and a total is "at least"; processes= counts what matched
// (measured and unreadable) and unreadable= the latter. When given,
// `deciding` receives the index of the process whose figure the perfdata
// carries.
std::string StatusLine(const Options& options, const std::vector<Sample>& samples, State* state,
                       const Shortfall& shortfall = Shortfall(), size_t* deciding = nullptr);

// Whether the measured processes give CRITICAL whatever the unread ones
// hold: one of them on its own, or with --sum a total already above the
// critical range's end (below a start or inside "@", more could undo it).
bool CriticalWhateverTheRest(const Options& options, const std::vector<Sample>& measured);

// "MEMORY <STATE> - <text>\n", without performance data: for a selection
// that found nothing to measure.
std::string EmptyLine(State state, const std::string& text);

// The line for a selection that found no process, `text` saying so: a count
// range decides its state (and its performance data carries processes=0);
// without one, --empty-state does.
std::string EmptySelection(const Options& options, const std::string& text, State* state);

// What the text calls `count` processes of the selection: "3 processes named
// postgres", or "service nginx: 3 processes"; `before` goes before the count.
std::string Matched(const Options& options, size_t count, const std::string& before = "");

// An amount in the units people read (kB, MB, GB), as the text shows it.
std::string SizeText(uint64_t bytes);

// A figure as the text shows it beside the ranges of `options` ("200.35 MB"),
// and for WARNING and CRITICAL the end it crossed ("warning above 200 MB").
struct FigureText {
    std::string figure;
    std::string note;
};
FigureText ShowFigure(const Options& options, uint64_t bytes, State state);

// "MEMORY UNKNOWN - <reason>\n".
std::string UnknownLine(const std::string& reason);

}  // namespace plugin
