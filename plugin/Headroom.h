// Headroom: thresholds as a share of a reference (the host's memory, a
// control group's limit) and the figures of a control group itself.
#pragma once

#include <cstdint>
#include <string>

#include "plugin/Options.h"

namespace plugin {

// The host's physical memory in bytes; throws Keel::Error when unknown.
uint64_t HostMemory();

// Whether the warning or the critical range is given in percent.
bool HasShares(const Options& options);

// Makes `reference` the 100% of every share range, and the perfdata's max
// field when a share is given.
void SetReference(Options* options, uint64_t reference);

// For a per-process figure under a share range: "; 12% of the host's 16 GB"
// (empty without one).
std::string HostShareText(const Options& options, uint64_t figure);

// The perfdata's max field: the reference or the group's limit, or nothing.
std::string MaximumField(const Options& options);

// The whole answer for a control group's own figure (-m cgroup,
// cgroup-workingset, cgroup-peak); throws Keel::Error for UNKNOWN. Completes
// `options` with the group's reference and limit: the run's own, which the
// exposition still reads afterwards, never moved from.
std::string GroupCheck(Options& options, State* state);

}  // namespace plugin
