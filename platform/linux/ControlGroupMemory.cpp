// A control group's memory from its own files, on cgroup v2 and on the v1
// memory controller. Every file is untrusted: bounded reads, strict numbers.
#include "platform/ControlGroupMemory.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/Internal.h"

namespace platform {

namespace {

constexpr size_t kMaxStatBytes = 64u << 10;  // memory.stat is about 1.5 kB
// Page-rounded LONG_MAX, what v1 reports for no limit: 4 kB pages give
// 9223372036854771712, 64 kB pages a little less.
constexpr uint64_t kNoLimitV1 = 0x7FFFFFFFFFFF0000ull;

struct Hierarchy {
    int version = 0;
    std::string root;
};

unsigned long FileSystemType(const char* path) {
    struct statfs info;
    return statfs(path, &info) == 0 ? static_cast<unsigned long>(info.f_type) : 0ul;
}

// Where the memory controller is. A controller lives in one hierarchy only:
// the v1 "memory" one when mounted, else cgroup v2.
bool FindMemoryHierarchy(Hierarchy* hierarchy, std::string* reason) {
    if (FileSystemType("/sys/fs/cgroup") == CGROUP2_SUPER_MAGIC) {
        *hierarchy = {2, "/sys/fs/cgroup"};
        return true;
    }
    if (FileSystemType("/sys/fs/cgroup/memory") == CGROUP_SUPER_MAGIC &&
        access("/sys/fs/cgroup/memory/memory.usage_in_bytes", F_OK) == 0) {
        *hierarchy = {1, "/sys/fs/cgroup/memory"};
        return true;
    }
    struct Found {
        std::string v1, v2;
    } found;
    const bool listed = linuxapi::ForEachMount([](const linuxapi::Mount& mount, void* context) {
        Found& f = *static_cast<Found*>(context);
        if (mount.type == "cgroup" && ("," + mount.superOptions + ",").find(",memory,") != std::string::npos) {
            f.v1 = mount.point;
        } else if (mount.type == "cgroup2") {
            f.v2 = mount.point;
        }
    }, &found);
    if (!found.v1.empty()) {
        *hierarchy = {1, found.v1};
    } else if (!found.v2.empty()) {
        *hierarchy = {2, found.v2};
    } else {
        *reason = listed ? "no control-group file system with the memory controller is mounted"
                         : "cannot read /proc/self/mountinfo";
        return false;
    }
    return true;
}

// Decimal digits within 64 bits from `p`, then a line feed (the last one of
// `end` when `whole`) or the end.
bool ParseCount(const char* p, const char* end, bool whole, uint64_t* value) {
    uint64_t n = 0;
    const char* const first = p;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (n > (UINT64_MAX - digit) / 10) return false;
        n = n * 10 + digit;
    }
    if (p == first || (p < end && (*p != '\n' || (whole && p + 1 != end)))) return false;
    *value = n;
    return true;
}

bool ParseCount(const std::string& text, uint64_t* value) {
    return ParseCount(text.data(), text.data() + text.size(), true, value);
}

// The value of the first "key value" line of memory.stat.
bool FindStatValue(const std::string& stat, const char* key, uint64_t* value) {
    // "\nkey " found in one search. The keys read are never the first line
    // (v1: "cache", v2: "anon"); one that were would read as missing.
    char wanted[64];
    const size_t keyLength = std::strlen(key);
    if (keyLength == 0 || keyLength + 2 > sizeof wanted) return false;
    wanted[0] = '\n';
    std::memcpy(wanted + 1, key, keyLength);
    wanted[keyLength + 1] = ' ';
    const size_t length = keyLength + 2;
    const char* const found = static_cast<const char*>(memmem(stat.data(), stat.size(), wanted, length));
    return found != nullptr && ParseCount(found + length, stat.data() + stat.size(), false, value);
}

class GroupReader {
public:
    GroupReader(int dir, const std::string& directory, std::string* reason) : dir_(dir), directory_(directory), reason_(reason) {}

    // A file of one number ("max" where `max` may stand for none).
    bool Number(const char* name, uint64_t* value, bool* none = nullptr) {
        std::string text;
        if (!Read(name, 64, &text)) return false;
        if (none != nullptr) *none = text == "max\n" || text == "max";
        if ((none != nullptr && *none) || ParseCount(text, value)) return true;
        *reason_ = directory_ + "/" + name + " does not hold a byte count";
        return false;
    }

    bool Stat(std::string* stat) { return Read("memory.stat", kMaxStatBytes, stat); }

    bool StatValue(const std::string& stat, const char* key, uint64_t* value) {
        if (FindStatValue(stat, key, value)) return true;
        *reason_ = directory_ + "/memory.stat has no " + key + " line";
        return false;
    }

    bool Read(const char* name, size_t limit, std::string* text) {
        const int error = linuxapi::ReadBounded(dir_, name, limit, text);
        if (error == ENOENT) {
            *reason_ = "the kernel keeps no " + std::string(name) + " in " + directory_;
            missing_ = true;
            return false;
        }
        if (error != 0) {
            *reason_ = "cannot read " + directory_ + "/" + name + ": " + std::strerror(error);
            return false;
        }
        return true;
    }

    bool missing_ = false;  // the last failure was a file that is not there

private:
    int dir_;
    std::string directory_;
    std::string* reason_;
};

// The lowest memory.max from the group up to the root's child (the root
// has none): v2's limits nest, the tightest one decides.
bool EffectiveLimitV2(const std::string& root, std::string path, GroupMemory* memory, std::string* reason) {
    memory->limited = false;
    while (!path.empty()) {
        const std::string directory = root + path;
        const int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) {
            *reason = "cannot open " + directory + ": " + std::strerror(errno);
            return false;
        }
        GroupReader reader(dir, directory, reason);
        uint64_t limit = 0;
        bool none = false;
        const bool read = reader.Number("memory.max", &limit, &none);
        close(dir);
        // A parent without the memory controller enabled for its children
        // keeps no memory.max: it sets no limit.
        if (!read && !reader.missing_) return false;
        if (read && !none && (!memory->limited || limit < memory->limit)) {
            memory->limited = true;
            memory->limit = limit;
        }
        path.erase(path.rfind('/'));
    }
    return true;
}

bool ReadV2(int dir, const std::string& root, const std::string& path, GroupFigure figure, GroupMemory* memory,
            std::string* reason) {
    GroupReader reader(dir, memory->directory, reason);
    uint64_t charged = 0;
    if (!reader.Number("memory.current", &charged)) {
        if (reader.missing_) {
            // Only now, on the way to UNKNOWN: is the controller there at all?
            std::string controllers;
            const int top = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            const bool known = top >= 0 && linuxapi::ReadBounded(top, "cgroup.controllers", 4096, &controllers) == 0;
            if (top >= 0) close(top);
            for (char& c : controllers) c = c == '\n' ? ' ' : c;
            if (known && (" " + controllers + " ").find(" memory ") == std::string::npos) {
                *reason = "the memory controller is not in the cgroup2 hierarchy at " + root +
                          " (its cgroup.controllers does not list memory)";
            } else {
                *reason = "the group has no memory accounting of its own: the kernel keeps no memory.current in " +
                          memory->directory + " (its parent's cgroup.subtree_control does not enable memory)";
            }
        }
        return false;
    }
    memory->charged = charged;
    switch (figure) {
    case GroupFigure::Charged:
        memory->bytes = charged;
        break;
    case GroupFigure::Every: {
        // One read of each file; a figure that cannot be read is left out.
        memory->bytes = charged;
        memory->Set(GroupFigure::Charged, charged);
        std::string stat;
        if (reader.Stat(&stat) && reader.StatValue(stat, "inactive_file", &memory->inactiveFile)) {
            memory->Set(GroupFigure::WorkingSet, charged > memory->inactiveFile ? charged - memory->inactiveFile : 0);
        }
        uint64_t peak = 0;
        if (reader.Number("memory.peak", &peak)) memory->Set(GroupFigure::Peak, peak);
        break;
    }
    case GroupFigure::WorkingSet: {
        std::string stat;
        if (!reader.Stat(&stat) || !reader.StatValue(stat, "inactive_file", &memory->inactiveFile)) return false;
        memory->bytes = charged > memory->inactiveFile ? charged - memory->inactiveFile : 0;
        break;
    }
    case GroupFigure::Peak:
        if (!reader.Number("memory.peak", &memory->bytes)) {
            if (reader.missing_) *reason += " (Linux 5.19 and later keep it)";
            return false;
        }
        break;
    }
    return EffectiveLimitV2(root, path, memory, reason);
}

bool ReadV1(int dir, GroupFigure figure, GroupMemory* memory, std::string* reason) {
    GroupReader reader(dir, memory->directory, reason);
    std::string stat;
    uint64_t limit = 0;
    if (!reader.Stat(&stat) || !reader.StatValue(stat, "hierarchical_memory_limit", &limit)) return false;
    memory->limited = limit < kNoLimitV1;
    memory->limit = memory->limited ? limit : 0;
    switch (figure) {
    case GroupFigure::Charged:
    case GroupFigure::WorkingSet:
        if (!reader.Number("memory.usage_in_bytes", &memory->charged)) return false;
        memory->bytes = memory->charged;
        if (figure == GroupFigure::WorkingSet) {
            if (!reader.StatValue(stat, "total_inactive_file", &memory->inactiveFile)) return false;
            memory->bytes = memory->charged > memory->inactiveFile ? memory->charged - memory->inactiveFile : 0;
        }
        break;
    case GroupFigure::Peak:
        if (!reader.Number("memory.max_usage_in_bytes", &memory->bytes)) return false;
        break;
    case GroupFigure::Every: {
        // One read of each file; a figure that cannot be read is left out.
        if (reader.Number("memory.usage_in_bytes", &memory->charged)) {
            memory->bytes = memory->charged;
            memory->Set(GroupFigure::Charged, memory->charged);
            if (reader.StatValue(stat, "total_inactive_file", &memory->inactiveFile)) {
                memory->Set(GroupFigure::WorkingSet, memory->charged > memory->inactiveFile
                                                         ? memory->charged - memory->inactiveFile
                                                         : 0);
            }
        }
        uint64_t peak = 0;
        if (reader.Number("memory.max_usage_in_bytes", &peak)) memory->Set(GroupFigure::Peak, peak);
        break;
    }
    }
    return true;
}

}  // namespace

bool ReadGroupMemory(const char* path, GroupFigure figure, GroupMemory* memory, std::string* reason) {
    if (const char* problem = ControlGroupPathProblem(path)) {
        *reason = problem;
        return false;
    }
    std::string relative = path;
    while (!relative.empty() && relative.back() == '/') relative.pop_back();
    if (relative.empty()) {
        *reason = "the root control group is the whole host, with no charge or limit of its own (v2 keeps no "
                  "memory.current there): name a group below it";
        return false;
    }
    Hierarchy hierarchy;
    if (!FindMemoryHierarchy(&hierarchy, reason)) return false;
    *memory = GroupMemory();
    memory->version = hierarchy.version;
    memory->directory = hierarchy.root + relative;
    const int dir = open(memory->directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        const int error = errno;
        if (error == ENOENT && hierarchy.version == 1) {
            *reason = "the group has no memory accounting of its own: the memory controller's hierarchy has no " +
                      memory->directory + " (systemd: MemoryAccounting=no)";
        } else if (error == ENOENT) {
            *reason = "no control group " + memory->directory;
        } else {
            *reason = "cannot open " + memory->directory + ": " + std::strerror(error);
        }
        return false;
    }
    const bool read = hierarchy.version == 2 ? ReadV2(dir, hierarchy.root, relative, figure, memory, reason)
                                             : ReadV1(dir, figure, memory, reason);
    close(dir);
    return read;
}

}  // namespace platform
