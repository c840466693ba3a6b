// The plugin's verdict: states, the status line and its performance data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/Options.h"
#include "plugin/Processes.h"

namespace plugin {

enum class State { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

const char* StateName(State state);

// CRITICAL when the critical range alerts, else WARNING when the warning
// range alerts, else OK. The bytes are compared exactly with the range
// scaled to bytes, as the performance data shows it.
State Evaluate(const Options& options, uint64_t bytes);

// "MEMORY <STATE> - <text> | <performance data>\n" for the measured
// processes (at least one), with the state in `state`.
std::string StatusLine(const Options& options, const std::vector<Sample>& samples, State* state);

// "MEMORY UNKNOWN - <reason>\n".
std::string UnknownLine(const std::string& reason);

}  // namespace plugin
