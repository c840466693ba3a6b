// Finding the processes to check and measuring them, through the same
// wrappers the check uses. Failures are thrown as Keel::Error whose message
// is the reason a monitoring user reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Win32.h"
#include "plugin/Options.h"

namespace plugin {

// a + b, or the most 64 bits hold where it would wrap: a total of samples'
// figures never reads as less than one of them.
inline uint64_t SaturatingSum(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

struct Sample {
    DWORD pid = 0;
    std::string name;  // the system's name for its image; empty when unreadable
    uint64_t bytes = 0;
    // Each of the figures asked for beside it, in their order: held inline,
    // since a selection may measure thousands of processes.
    static constexpr size_t kMaxFigures = 12;
    uint64_t figures[kMaxFigures] = {};
    size_t figureCount = 0;
    uint64_t Figure(size_t i) const { return i < figureCount ? figures[i] : 0; }
};

// The process id on a pidfile's first line: blanks, decimal digits, blanks.
// Later lines are the daemon's own data. False for anything else.
bool ParsePidfileText(const char* text, size_t length, DWORD* pid);

// Reads the process id from the pidfile at `path`.
DWORD ReadPidfile(const char* path);

// The code of the Keel::Error that MeasureProcess throws when no such
// process runs (none has the id, or it has exited).
constexpr int32_t kProcessGone = 1;

// Opens the process once and measures it through that handle: `metric`,
// and each of `figures` when given.
Sample MeasureProcess(DWORD pid, Metric metric, const std::vector<Metric>* figures = nullptr);

struct Selected {
    std::vector<Sample> samples;  // in the system's order
    size_t unreadable = 0;        // selected, but not measured
    std::string reason;           // why the first of those could not be
    std::string notRunning;       // a service is not running: nothing was measured
};

// Every process that `selection` chooses, measured. Never this process, its
// parent (a shell or agent may carry the same arguments) or another
// check_trelmark (an agent runs checks side by side). Processes that end
// meanwhile are left out; none is no error.
Selected MeasureSelection(const Selection& selection, Metric metric, const std::vector<Metric>* figures = nullptr);

// --children: every descendant of the processes measured in `selected`
// (children, grandchildren and so on), measured and added to it, with the
// same exclusions.
void MeasureDescendants(Selected* selected, Metric metric, const std::vector<Metric>* figures = nullptr);

}  // namespace plugin
