// What /proc lets this process see.
#include "platform/ProcessView.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/Internal.h"

namespace linuxapi {

namespace {

// Undoes mountinfo's octal escapes ("\\040" for a blank).
std::string Unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        const auto octal = [&](size_t at) { return at < field.size() && field[at] >= '0' && field[at] <= '7'; };
        if (field[i] == '\\' && field[i + 1] <= '3' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

}  // namespace

bool ForEachMount(void (*visit)(const Mount& mount, void* context), void* context) {
    char text[65536];
    size_t length = 0;
    const int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    for (ssize_t n; length < sizeof text - 1 && (n = read(fd, text + length, sizeof text - 1 - length)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        length += static_cast<size_t>(n);
    }
    close(fd);
    // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
    for (size_t at = 0; at < length;) {
        const char* end = static_cast<const char*>(std::memchr(text + at, '\n', length - at));
        const size_t lineLength = end != nullptr ? static_cast<size_t>(end - text) - at : length - at;
        const std::string line(text + at, lineLength);
        at += lineLength + 1;
        std::vector<std::string> fields;
        for (size_t from = 0; from <= line.size();) {
            size_t space = line.find(' ', from);
            if (space == std::string::npos) space = line.size();
            fields.push_back(line.substr(from, space - from));
            from = space + 1;
        }
        size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-") ++dash;
        if (fields.size() < 5 || dash + 3 >= fields.size()) continue;
        visit(Mount{Unescape(fields[4]), fields[dash + 1], fields[dash + 3]}, context);
    }
    return true;
}

}  // namespace linuxapi

namespace platform {

FileProblem ReadRegularFile(const char* path, char* buffer, size_t size, size_t* length, std::string* reason) {
    // O_NONBLOCK: opening a FIFO without a writer would wait for one.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return FileProblem::Unreadable;
    }
    struct stat info;
    FileProblem problem = FileProblem::None;
    if (fstat(fd, &info) != 0) {
        *reason = std::strerror(errno);
        problem = FileProblem::Unreadable;
    } else if (!S_ISREG(info.st_mode)) {
        problem = FileProblem::NotRegular;
    } else if (static_cast<unsigned long long>(info.st_size) > size) {
        problem = FileProblem::TooLarge;
    }
    *length = 0;
    while (problem == FileProblem::None && *length < size) {
        const ssize_t n = read(fd, buffer + *length, size - *length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *reason = std::strerror(errno);
            problem = FileProblem::Unreadable;
        }
        if (n <= 0) break;
        *length += static_cast<size_t>(n);
    }
    close(fd);
    return problem;
}

const char* ProcessListProblem() {
    char link[32];
    const ssize_t n = readlink("/proc/self", link, sizeof link - 1);
    if (n <= 0) return "/proc is not mounted: the processes cannot be listed";
    link[n] = '\0';
    if (std::strtol(link, nullptr, 10) != static_cast<long>(getpid())) {
        return "/proc belongs to another pid namespace (/proc/self is not this process): its process ids would name "
               "other processes; mount a /proc of this namespace";
    }
    return nullptr;
}

namespace {

// The super options of the /proc mount, "" when absent.
std::string ProcMountOptions() {
    std::string options;
    linuxapi::ForEachMount([](const linuxapi::Mount& mount, void* found) {
        // The last mount is the one seen.
        if (mount.point == "/proc" && mount.type == "proc") *static_cast<std::string*>(found) = mount.superOptions;
    }, &options);
    return options;
}

// The value of `key` in comma-separated `options`, or "".
std::string OptionValue(const std::string& options, const char* key) {
    const std::string prefix = std::string(key) + "=";
    for (size_t at = 0; at <= options.size();) {
        size_t end = options.find(',', at);
        if (end == std::string::npos) end = options.size();
        if (options.compare(at, prefix.size(), prefix) == 0) return options.substr(at + prefix.size(), end - at - prefix.size());
        at = end + 1;
    }
    return std::string();
}

}  // namespace

std::string HiddenProcessesNote() {
    if (geteuid() == 0) return std::string();  // without reading the mounts: every check of a selection asks
    const std::string options = ProcMountOptions();
    const std::string hidepid = OptionValue(options, "hidepid");
    if (hidepid.empty() || hidepid == "0" || hidepid == "off") return std::string();
    const std::string gid = OptionValue(options, "gid");
    if (!gid.empty()) {
        const gid_t group = static_cast<gid_t>(std::strtoul(gid.c_str(), nullptr, 10));
        gid_t groups[256];
        const int count = getgroups(256, groups);
        if (getegid() == group) return std::string();
        for (int i = 0; i < count; ++i) {
            if (groups[i] == group) return std::string();
        }
    }
    return "/proc hides other users' processes (mounted with hidepid=" + hidepid +
           "): add the agent's user to the group of the mount's gid= option" + (gid.empty() ? "" : " (" + gid + ")") +
           ", or mount /proc with one";
}

}  // namespace platform

namespace linuxapi {

// Reads at most `limit` bytes of the file `path` (relative to `dir`) into
// `text`. Returns 0 or an errno value. O_NONBLOCK: a FIFO put where a
// system file belongs never waits.
int ReadBounded(int dir, const char* path, size_t limit, std::string* text) {
    const int fd = openat(dir, path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno;
    text->clear();
    char buffer[16384];
    int result = 0;
    while (text->size() < limit) {
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, limit - text->size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) result = errno == EAGAIN ? EINVAL : errno;
        if (n <= 0) break;
        text->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return result;
}

}  // namespace linuxapi
