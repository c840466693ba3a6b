// A control group's own memory, as the kernel counts it for the group: the
// charge, the working set the kubelet evicts by, the peak, and the limit the
// OOM killer enforces. Linux only; on Windows the plugin refuses the figures
// before asking. docs/control-groups.md lists the files each figure reads.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ProcessQuery.h"

namespace platform {

// Every: the three at once, for a run that reports them all.
enum class GroupFigure { Charged, WorkingSet, Peak, Every };

struct GroupMemory {
    int version = 0;            // 1: the v1 memory controller's hierarchy; 2: cgroup v2
    std::string directory;      // the group's directory that was read
    uint64_t bytes = 0;         // the figure asked for
    uint64_t charged = 0;       // WorkingSet: the charge the cache was taken from
    uint64_t inactiveFile = 0;  // WorkingSet: the inactive file cache taken off
    bool limited = false;       // a limit is set on the group or above it
    uint64_t limit = 0;         // the effective limit: the lowest on the path to the root
    // Every: each figure (indexed by Charged, WorkingSet, Peak) where the
    // group keeps it and it could be read.
    bool has[3] = {};
    uint64_t figures[3] = {};

    void Set(GroupFigure figure, uint64_t value) {
        has[static_cast<int>(figure)] = true;
        figures[static_cast<int>(figure)] = value;
    }
};

#ifdef _WIN32

constexpr bool kControlGroups = false;

inline bool FindServiceGroup(const char*, ServiceProcesses* service, std::string* path, std::string* reason) {
    service->state = ServiceState::Missing;
    path->clear();
    *reason = "Windows has no control groups";
    return false;
}

inline bool ReadGroupMemory(const char*, GroupFigure, GroupMemory*, std::string* reason) {
    *reason = "Windows has no control groups";
    return false;
}

#else

constexpr bool kControlGroups = true;

// The control group of service `name` (as FindServiceProcesses finds it)
// without listing its processes: `*path` as /proc/PID/cgroup writes it, when
// service->state is Running (its pids stay empty). False with `reason` when
// the control groups cannot be searched.
bool FindServiceGroup(const char* name, ServiceProcesses* service, std::string* path, std::string* reason);

// Reads `figure` and the effective limit of the group at `path` (as
// /proc/PID/cgroup writes it) in the hierarchy that holds the memory
// controller: the v1 "memory" one where it is mounted, else cgroup v2. False
// with `reason` for the root group, a group without memory accounting of its
// own, or a file the kernel does not keep: never a parent's figure, never 0.
bool ReadGroupMemory(const char* path, GroupFigure figure, GroupMemory* memory, std::string* reason);

#endif

}  // namespace platform
