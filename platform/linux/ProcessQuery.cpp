// What a selection asks of a process, from /proc and the control-group file
// system: no D-Bus, nothing but files; only a user name that /etc/passwd
// does not hold is asked of getent.
#include "platform/ProcessQuery.h"
#include "platform/ControlGroupMemory.h"

#include <dirent.h>
#include <fcntl.h>
#include <regex.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/Getent.h"
#include "platform/linux/Internal.h"
#include "platform/linux/ProcStatus.h"

namespace platform {

namespace {

// The /proc directory of an opened process; false (last error set) otherwise.
bool ProcessDirectory(HANDLE process, int* dir) {
    linuxapi::KernelObject object;
    if (!linuxapi::LookupObject(process, linuxapi::ObjectKind::Process, &object)) {
        return linuxapi::Fail(ERROR_INVALID_HANDLE);
    }
    *dir = object.procDir;
    return true;
}

// The raw argument block: arguments each ended by NUL.
bool ReadArguments(HANDLE process, std::string* arguments) {
    int dir = -1;
    if (!ProcessDirectory(process, &dir)) return false;
    const int error = linuxapi::ReadBounded(dir, "cmdline", kMaxCommandLineBytes, arguments);
    if (error != 0) return linuxapi::FailWithErrno(error == ENOENT || error == ESRCH ? ESRCH : error);
    return true;
}

const char* BaseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

}  // namespace

namespace {

// The arguments as ps -o args shows them: joined by single spaces.
void JoinArguments(std::string* line) {
    size_t length = line->size();
    while (length > 0 && (*line)[length - 1] == '\0') --length;
    line->resize(length);
    char* const end = &(*line)[0] + length;
    for (char* at = &(*line)[0]; (at = static_cast<char*>(std::memchr(at, '\0', static_cast<size_t>(end - at)))) != nullptr;) {
        *at++ = ' ';
    }
}

}  // namespace

bool ReadCommandLine(HANDLE process, std::string* line) {
    if (!ReadArguments(process, line)) return false;
    JoinArguments(line);
    return true;
}

bool PeekCommandLine(DWORD pid, std::string* line) {
    char path[32] = "/proc/";
    std::memcpy(path + 6 + linuxapi::IdDigits(pid, path + 6), "/cmdline", sizeof "/cmdline");
    const int error = linuxapi::ReadBounded(AT_FDCWD, path, kMaxCommandLineBytes, line);
    if (error != 0) return linuxapi::FailWithErrno(error == ENOENT ? ESRCH : error);
    JoinArguments(line);
    return true;
}

bool FullImageNameIs(HANDLE process, const char* wanted, bool* matches) {
    int dir = -1;
    if (!ProcessDirectory(process, &dir)) return false;
    char target[4096];
    const ssize_t n = readlinkat(dir, "exe", target, sizeof target - 1);
    const int linkError = n > 0 ? 0 : errno;
    if (n > 0) {
        target[n] = '\0';
        // A replaced executable reads "/usr/sbin/name (deleted)".
        static const char kDeleted[] = " (deleted)";
        const size_t length = static_cast<size_t>(n), suffix = sizeof kDeleted - 1;
        if (length > suffix && std::strcmp(target + length - suffix, kDeleted) == 0) target[length - suffix] = '\0';
        if (std::strcmp(BaseName(target), wanted) == 0) {
            *matches = true;
            return true;
        }
    }
    // Another user's executable link is out of reach without ptrace rights;
    // argv[0] is not. When argv[0] was changed too, the process may well be
    // the one named: it cannot be read, which is never the same as absent.
    std::string arguments;
    if (!ReadArguments(process, &arguments)) return n > 0 ? (*matches = false, true) : false;
    *matches = std::strcmp(BaseName(arguments.c_str()), wanted) == 0;
    if (!*matches && (linkError == EACCES || linkError == EPERM)) return linuxapi::FailWithErrno(linkError);
    return true;
}

DWORD ParentProcessId() { return static_cast<DWORD>(getppid()); }

// A parent id always names the live parent (an orphan is given to a reaper
// at once), so no creation times are needed to tell a reused id.
bool AddDescendants(std::vector<DWORD>* pids) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    std::vector<std::pair<DWORD, DWORD>> byParent;  // (parent, process)
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID != entry.th32ParentProcessID) {
            byParent.emplace_back(entry.th32ParentProcessID, entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    std::sort(byParent.begin(), byParent.end());
    std::set<DWORD> seen(pids->begin(), pids->end());
    for (size_t i = 0; i < pids->size(); ++i) {
        const DWORD parent = (*pids)[i];
        auto it = std::lower_bound(byParent.begin(), byParent.end(), std::make_pair(parent, DWORD{0}));
        for (; it != byParent.end() && it->first == parent; ++it) {
            if (seen.insert(it->second).second) pids->push_back(it->second);
        }
    }
    return true;
}

bool ResolveUser(const char* text, User* user, std::string* reason) {
    uint64_t uid = 0;
    size_t digits = 0;
    for (const char* p = text; *p >= '0' && *p <= '9' && digits <= 10; ++p, ++digits) uid = uid * 10 + static_cast<uint64_t>(*p - '0');
    if (digits > 0 && text[digits] == '\0') {
        if (digits > 10 || uid > 0xFFFFFFFEu) {
            *reason = "user ids are at most 4294967294";
            return false;
        }
        user->uid = static_cast<uint32_t>(uid);
        return true;
    }
    // The account file first, then the name service switch as id would ask
    // it (LDAP, SSSD, extrausers), through getent: a static program cannot
    // load its modules.
    std::string passwd;
    const int error = linuxapi::ReadBounded(AT_FDCWD, "/etc/passwd", 8u << 20, &passwd);
    if (error == 0 && linuxapi::FindPasswdUid(passwd.data(), passwd.size(), text, &user->uid)) return true;
    if (!linuxapi::IsAccountName(text)) {
        *reason = "no user named " + std::string(text);
        return false;
    }
    if (access(linuxapi::kGetent, X_OK) != 0) {
        *reason = error != 0 ? std::string("cannot read /etc/passwd: ") + std::strerror(error)
                             : "no user named " + std::string(text) + " in /etc/passwd, and no " + linuxapi::kGetent +
                                   " to ask the name services (give a numeric uid)";
        return false;
    }
    std::string failure;
    switch (linuxapi::LookUpAccount(linuxapi::kGetent, text, &user->uid, &failure)) {
    case linuxapi::AccountLookup::Found:
        return true;
    case linuxapi::AccountLookup::Missing:
        *reason = "no user named " + std::string(text);
        return false;
    case linuxapi::AccountLookup::Failed:
        break;
    }
    *reason = "cannot look up user " + std::string(text) + ": " + failure;
    return false;
}

bool ProcessOwnedBy(HANDLE process, const User& user, bool* owned) {
    int dir = -1;
    if (!ProcessDirectory(process, &dir)) return false;
    std::string status;
    const int error = linuxapi::ReadBounded(dir, "status", 1u << 16, &status);
    if (error != 0) return linuxapi::FailWithErrno(error == ENOENT ? ESRCH : error);
    uint32_t uid = 0;
    if (!linuxapi::FindStatusUid(status.data(), status.size(), &uid)) return linuxapi::Fail(ERROR_INVALID_DATA);
    *owned = uid == user.uid;
    return true;
}

// --- control groups ------------------------------------------------------------

namespace {

constexpr int kMaxDepth = 32;          // below a group; systemd's trees are a few levels deep
constexpr size_t kMaxGroups = 100000;  // visited in one walk
constexpr size_t kMaxProcsBytes = 8u << 20;

// The mount points of the control-group hierarchies that systemd keeps:
// cgroup v2 (the whole tree, or "unified" on hybrid hosts) first, then the
// v1 "name=systemd" one, and with `memory` last the v1 memory controller's
// (--cgroup takes its paths too). Where systemd mounts them is tried first:
// parsing mountinfo costs more than the rest of a --service check.
std::vector<std::string> ControlGroupRoots(bool memory) {
    const auto type = [](const char* path) {
        struct statfs info;
        return statfs(path, &info) == 0 ? static_cast<unsigned long>(info.f_type) : 0ul;
    };
    if (type("/sys/fs/cgroup") == CGROUP2_SUPER_MAGIC) return {"/sys/fs/cgroup"};
    if (type("/sys/fs/cgroup/unified") == CGROUP2_SUPER_MAGIC && type("/sys/fs/cgroup/systemd") == CGROUP_SUPER_MAGIC) {
        std::vector<std::string> roots{"/sys/fs/cgroup/unified", "/sys/fs/cgroup/systemd"};
        if (memory && type("/sys/fs/cgroup/memory") == CGROUP_SUPER_MAGIC) roots.push_back("/sys/fs/cgroup/memory");
        return roots;
    }
    struct Roots {
        std::vector<std::string> unified, named, memory;
    } roots;
    linuxapi::ForEachMount([](const linuxapi::Mount& mount, void* context) {
        Roots& found = *static_cast<Roots*>(context);
        if (mount.type == "cgroup2") {
            found.unified.push_back(mount.point);
        } else if (mount.type == "cgroup" && ("," + mount.superOptions + ",").find(",name=systemd,") != std::string::npos) {
            found.named.push_back(mount.point);
        } else if (mount.type == "cgroup" && ("," + mount.superOptions + ",").find(",memory,") != std::string::npos) {
            found.memory.push_back(mount.point);
        }
    }, &roots);
    roots.unified.insert(roots.unified.end(), roots.named.begin(), roots.named.end());
    if (memory) roots.unified.insert(roots.unified.end(), roots.memory.begin(), roots.memory.end());
    return roots.unified;
}

struct Walk {
    std::vector<DWORD>* pids;
    size_t groups = 0;
    int error = 0;  // the first failure
};

bool AddId(pid_t id, void* context) {
    static_cast<std::vector<DWORD>*>(context)->push_back(static_cast<DWORD>(id));
    return true;
}

// Adds the processes of the group open as `dir` and of its sub-groups.
void CollectGroup(int dir, int depth, Walk* walk) {
    if (++walk->groups > kMaxGroups || depth > kMaxDepth) {
        walk->error = walk->error != 0 ? walk->error : E2BIG;
        return;
    }
    std::string procs;
    // A threaded group's processes are listed by its thread root, whose
    // cgroup.procs holds the whole threaded subtree; its own refuses reading.
    // A group removed meanwhile reads as ENODEV once opened: gone, like ENOENT.
    const int error = linuxapi::ReadBounded(dir, "cgroup.procs", kMaxProcsBytes, &procs);
    if (error != 0 && error != ENOENT && error != ENODEV && error != EOPNOTSUPP) {
        walk->error = walk->error != 0 ? walk->error : error;
    }
    if (error == 0 && !linuxapi::ForEachListedId(procs.data(), procs.size(), AddId, walk->pids)) {
        walk->error = walk->error != 0 ? walk->error : EINVAL;
    }
    const int list = dup(dir);
    DIR* entries = list >= 0 ? fdopendir(list) : nullptr;
    if (entries == nullptr) {
        if (list >= 0) close(list);
        walk->error = walk->error != 0 ? walk->error : errno;
        return;
    }
    while (const struct dirent* entry = readdir(entries)) {
        if (entry->d_type != DT_DIR || std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        const int child = openat(dir, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0) {
            if (errno != ENOENT && errno != ENODEV) walk->error = walk->error != 0 ? walk->error : errno;
            continue;  // else removed meanwhile
        }
        CollectGroup(child, depth + 1, walk);
        close(child);
    }
    closedir(entries);
}

// The group at `path` below `root`, opened; -1 with errno otherwise.
int OpenGroup(const std::string& root, const std::string& path) {
    return open((root + path).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool Unreadable(int error, std::string* reason) {
    *reason = error == E2BIG ? "the control group has too many sub-groups to walk"
                             : std::string("cannot read the control group: ") + std::strerror(error);
    return false;
}

bool Collect(int dir, std::vector<DWORD>* pids, std::string* reason) {
    Walk walk{pids};
    CollectGroup(dir, 0, &walk);
    return walk.error == 0 || Unreadable(walk.error, reason);
}

// The directory named `unit` below `dir`, searched breadth first over the
// top levels where systemd puts units (slices nest a few deep). *error is
// the first errno of a level that could not be searched: the unit may be
// there.
std::string FindUnitBelow(const std::string& root, const std::string& unit, int* error) {
    std::vector<std::string> level{""};
    size_t visited = 0;
    for (int depth = 0; depth < 6 && !level.empty(); ++depth) {
        std::vector<std::string> next;
        for (const std::string& path : level) {
            DIR* entries = opendir((root + path).c_str());
            if (entries == nullptr) {
                if (errno != ENOENT && *error == 0) *error = errno;
                continue;
            }
            while (const struct dirent* entry = readdir(entries)) {
                if (entry->d_type != DT_DIR || entry->d_name[0] == '.') continue;
                const std::string child = path + "/" + entry->d_name;
                if (unit == entry->d_name) {
                    closedir(entries);
                    return child;
                }
                // Units hold no other units; only slices and the root do.
                const size_t length = std::strlen(entry->d_name);
                const bool slice = length > 6 && std::strcmp(entry->d_name + length - 6, ".slice") == 0;
                if (slice && ++visited < kMaxGroups) next.push_back(child);
            }
            closedir(entries);
        }
        level.swap(next);
    }
    return std::string();
}

bool HasUnitSuffix(const std::string& name) {
    static const char* const kSuffixes[] = {".service", ".scope", ".slice", ".socket", ".mount", ".swap",
                                            ".timer", ".path", ".target", ".automount", ".device"};
    for (const char* suffix : kSuffixes) {
        const size_t length = std::strlen(suffix);
        if (name.size() > length && name.compare(name.size() - length, length, suffix) == 0) return true;
    }
    return false;
}

bool UnitFileExists(const std::string& unit) {
    static const char* const kDirectories[] = {"/etc/systemd/system/", "/run/systemd/system/", "/usr/lib/systemd/system/",
                                               "/lib/systemd/system/"};
    struct stat info;
    for (const char* directory : kDirectories) {
        if (stat((directory + unit).c_str(), &info) == 0) return true;
    }
    return false;
}

}  // namespace

const char* ControlGroupPathProblem(const char* path) {
    if (path[0] != '/') return "a control group path starts with / (as /proc/PID/cgroup shows it)";
    if (std::strlen(path) > 4096) return "the path is longer than 4096 bytes";
    for (const char* p = path; *p != '\0'; ++p) {
        if (p[0] == '/' && p[1] == '.' && p[2] == '.' && (p[3] == '/' || p[3] == '\0')) return "the path holds \"..\"";
    }
    return nullptr;
}

bool FindControlGroupProcesses(const char* path, std::vector<DWORD>* pids, std::string* reason) {
    const std::vector<std::string> roots = ControlGroupRoots(true);
    if (roots.empty()) {
        *reason = "no control-group file system is mounted";
        return false;
    }
    std::string relative = path;
    while (relative.size() > 1 && relative.back() == '/') relative.pop_back();
    if (relative == "/") relative.clear();
    for (const std::string& root : roots) {
        const int dir = OpenGroup(root, relative);
        if (dir < 0 && errno != ENOENT) return Unreadable(errno, reason);
        if (dir < 0) continue;
        const bool collected = Collect(dir, pids, reason);
        close(dir);
        return collected;
    }
    *reason = "no control group " + std::string(path);
    return false;
}

namespace {

// The unit's group, opened (-1 when the unit runs nowhere: `service` then
// says whether it is installed), and its path in `*path`. False with
// `reason` when the control groups cannot be searched.
bool OpenUnitGroup(const char* name, ServiceProcesses* service, std::string* path, int* dir, std::string* reason) {
    *dir = -1;
    const std::string unit = HasUnitSuffix(name) ? std::string(name) : std::string(name) + ".service";
    if (unit.find('/') != std::string::npos || unit[0] == '.' || unit.size() > 255) {
        *reason = "invalid unit name " + unit;
        return false;
    }
    const std::vector<std::string> roots = ControlGroupRoots(false);
    if (roots.empty()) {
        *reason = "no control-group file system is mounted: services are found through systemd's control groups";
        return false;
    }
    service->pids.clear();
    for (const std::string& root : roots) {
        // Only a group that is not there means a unit that is not running.
        *path = "/system.slice/" + unit;
        *dir = OpenGroup(root, *path);
        int error = *dir < 0 ? errno : 0;
        if (error == ENOENT) {
            error = 0;
            *path = FindUnitBelow(root, unit, &error);
            if (!path->empty() && (*dir = OpenGroup(root, *path)) < 0 && errno != ENOENT) error = errno;
        }
        if (*dir < 0 && error != 0) {
            *reason = std::string("cannot read the control groups: ") + std::strerror(error);
            return false;
        }
        if (*dir >= 0) {
            service->state = ServiceState::Running;
            return true;
        }
    }
    path->clear();
    const bool known = UnitFileExists(unit);
    service->state = known ? ServiceState::NotRunning : ServiceState::Missing;
    service->detail = known ? "inactive" : "";
    return true;
}

}  // namespace

bool FindServiceGroup(const char* name, ServiceProcesses* service, std::string* path, std::string* reason) {
    int dir = -1;
    if (!OpenUnitGroup(name, service, path, &dir, reason)) return false;
    if (dir >= 0) close(dir);
    return true;
}

bool FindServiceProcesses(const char* name, ServiceProcesses* service, std::string* reason) {
    std::string path;
    int dir = -1;
    if (!OpenUnitGroup(name, service, &path, &dir, reason)) return false;
    if (dir < 0) return true;
    const bool collected = Collect(dir, &service->pids, reason);
    close(dir);
    if (!collected) return false;
    service->state = service->pids.empty() ? ServiceState::NotRunning : ServiceState::Running;
    service->detail = service->pids.empty() ? "no process in its control group" : "";
    return true;
}

// --- regular expressions ---------------------------------------------------------

struct Pattern::Compiled {
    regex_t expression;
    // An expression without a special character matches where it occurs
    // as it is: a search for it costs a tenth of the matcher's run.
    bool literal = false;
    std::string text;
};

Pattern::Pattern() = default;

Pattern::~Pattern() {
    if (compiled_ != nullptr) regfree(&compiled_->expression);
}

bool Pattern::Compile(const std::string& expression, std::string* error) {
    std::unique_ptr<Compiled> compiled(new Compiled);
    const int result = regcomp(&compiled->expression, expression.c_str(), REG_EXTENDED | REG_NOSUB);
    // An expression whose automaton outgrows the memory the check may hold
    // is valid, only too large: as any allocation that fails.
    if (result == REG_ESPACE) throw std::bad_alloc();
    if (result != 0) {
        char text[256];
        regerror(result, &compiled->expression, text, sizeof text);
        *error = text;
        return false;
    }
    compiled->literal = expression.find_first_of("\\^$.[]|()*+?{}") == std::string::npos;
    if (compiled->literal) compiled->text = expression;
    if (compiled_ != nullptr) regfree(&compiled_->expression);
    compiled_ = std::move(compiled);
    return true;
}

bool Pattern::Matches(const std::string& text) const {
    if (compiled_ == nullptr) return false;
    if (compiled_->literal) return text.find(compiled_->text) != std::string::npos;
    const int result = regexec(&compiled_->expression, text.c_str(), 0, nullptr, 0);
    if (result == REG_ESPACE) throw std::bad_alloc();
    return result == 0;
}

}  // namespace platform
