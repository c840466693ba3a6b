#include "plugin/Processes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "keel/Error.h"
#include "platform/ImageName.h"
#include "platform/ProcessMemory.h"
#include "platform/ProcessView.h"
#include "windows/WindowsError.h"
#include "windows/WindowsProcess.h"
#include "windows/WindowsUtils2.h"

namespace plugin {

namespace {

constexpr DWORD kAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

// Larger files are not pidfiles (a database's, with data after the id, stays
// well below this).
constexpr size_t kMaxPidfileBytes = 4096;

std::string PidText(DWORD pid) { return std::to_string(pid); }

uint64_t Bytes(double megabytes) {
    // The wrapper hands out bytes / 2^20; scaling back is exact below 2^53 bytes.
    const double bytes = megabytes * 1048576.0;
    return bytes >= 18446744073709551615.0 ? UINT64_MAX : static_cast<uint64_t>(bytes);
}

// The private working set. Windows before 10 1809 (and Wine) leave it
// unfilled: a zero beside a working set that is not zero, since the private
// pages are part of the working set.
uint64_t PrivateWorkingSet(HANDLE process, DWORD pid) {
    PROCESS_MEMORY_COUNTERS_EX2 counters;
    std::memset(&counters, 0, sizeof counters);
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(process, reinterpret_cast<PPROCESS_MEMORY_COUNTERS>(&counters), sizeof counters)) {
        throw Keel::Error("cannot read the unique memory of pid " + PidText(pid) + ": " +
                          Windows::GetLastErrorText(true));
    }
    if (counters.PrivateWorkingSetSize == 0 && counters.WorkingSetSize != 0) {
        throw Keel::Error("the system does not report the private working set (-m uss) of pid " + PidText(pid) +
                          "; Windows 10 1809 and later do");
    }
    return counters.PrivateWorkingSetSize;
}

uint64_t ProportionalSet(HANDLE process, DWORD pid) {
    uint64_t bytes = 0;
    if (!platform::GetProcessProportionalSetSize(process, &bytes)) {
        throw Keel::Error("cannot read the proportional memory of pid " + PidText(pid) + ": " +
                          Windows::GetLastErrorText(true));
    }
    return bytes;
}

uint64_t Figure(HANDLE process, DWORD pid, Metric metric) {
    if (metric == Metric::Unique) return PrivateWorkingSet(process, pid);
    if (metric == Metric::Proportional) return ProportionalSet(process, pid);
    double working = 0, peakWorking = 0, privateUsage = 0;
    try {
        Windows::GetProcessMemoryCounters(process, &working, &peakWorking, nullptr, nullptr, &privateUsage);
    } catch (const Keel::Error& e) {
        throw Keel::Error("cannot read the memory counters of pid " + PidText(pid) + ": " + e.Message());
    }
    return Bytes(metric == Metric::Working ? working : metric == Metric::Peak ? peakWorking : privateUsage);
}

Sample Measure(HANDLE process, DWORD pid, std::string name, Metric metric) {
    Sample sample;
    sample.pid = pid;
    sample.bytes = Figure(process, pid, metric);
    sample.name = std::move(name);
    return sample;
}

std::string ImageName(HANDLE process) {
    char name[MAX_PATH];
    return ::GetModuleBaseNameA(process, nullptr, name, sizeof name) > 0 ? std::string(name) : std::string();
}

// A process that has exited but is still held (a zombie not yet reaped).
bool HasExited(HANDLE process) {
    DWORD code = 0;
    return ::GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
}

std::vector<DWORD> ListProcesses() {
    std::vector<DWORD> ids(1024);
    for (;;) {
        DWORD bytes = 0;
        const DWORD room = static_cast<DWORD>(ids.size() * sizeof(DWORD));
        if (!::EnumProcesses(ids.data(), room, &bytes)) {
            throw Keel::Error("cannot list the processes: " + Windows::GetLastErrorText(true));
        }
        // A full array may have been cut: ask again with more room.
        if (bytes < room) {
            ids.resize(bytes / sizeof(DWORD));
            return ids;
        }
        if (ids.size() >= (size_t{1} << 22)) throw Keel::Error("cannot list the processes: too many");
        ids.resize(ids.size() * 2);
    }
}

}  // namespace

bool ParsePidfileText(const char* text, size_t length, DWORD* pid) {
    // The first line only: as pgrep -F reads it, blanks around one decimal id.
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    size_t i = 0;
    while (i < length && blank(text[i])) ++i;
    const size_t first = i;
    uint64_t value = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (i - first >= 10) return false;
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (i == first) return false;
    while (i < length && blank(text[i])) ++i;
    if (i < length && text[i] != '\n') return false;
    if (value == 0 || value > 0xFFFFFFFFu) return false;
    *pid = static_cast<DWORD>(value);
    return true;
}

DWORD ReadPidfile(const char* path) {
    const std::string shown = Printable(path);
    char text[kMaxPidfileBytes];
    size_t length = 0;
    std::string reason;
    switch (platform::ReadRegularFile(path, text, sizeof text, &length, &reason)) {
    case platform::FileProblem::None:
        break;
    case platform::FileProblem::NotRegular:
        throw Keel::Error("cannot read pidfile " + shown + ": not a regular file");
    case platform::FileProblem::TooLarge:
        throw Keel::Error("pidfile " + shown + " is too large to hold a process id");
    case platform::FileProblem::Unreadable:
        throw Keel::Error("cannot read pidfile " + shown + ": " + reason);
    }
    if (length == 0) throw Keel::Error("pidfile " + shown + " is empty");
    DWORD pid = 0;
    if (!ParsePidfileText(text, length, &pid)) throw Keel::Error("pidfile " + shown + " does not hold a process id");
    return pid;
}

Sample MeasureProcess(DWORD pid, Metric metric) {
    HANDLE process = ::OpenProcess(kAccess, FALSE, pid);
    if (process == nullptr) {
        const DWORD error = ::GetLastError();
        // What Windows says for an id that names no process.
        if (error == ERROR_INVALID_PARAMETER) throw Keel::Error("no process with pid " + PidText(pid));
        throw Keel::Error("cannot open the process with pid " + PidText(pid) + ": " +
                          Windows::GetErrorText(error, true));
    }
    Windows::HandleSentry sentry(process);
    if (HasExited(process)) throw Keel::Error("the process with pid " + PidText(pid) + " has exited");
    return Measure(process, pid, ImageName(process), metric);
}

std::vector<Sample> MeasureProcessesNamed(const char* name, Metric metric) {
    const DWORD self = ::GetCurrentProcessId();
    std::vector<Sample> samples;
    for (DWORD pid : ListProcesses()) {
        if (pid == self) continue;
        // Processes that ended meanwhile, or that this user may not open,
        // cannot be named: skipped. Any other failure (no descriptors
        // left) could hide a match, and fails the check.
        HANDLE process = ::OpenProcess(kAccess, FALSE, pid);
        if (process == nullptr) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_INVALID_PARAMETER || error == ERROR_ACCESS_DENIED) continue;
            throw Keel::Error("cannot open the process with pid " + PidText(pid) + ": " +
                              Windows::GetErrorText(error, true));
        }
        Windows::HandleSentry sentry(process);
        std::string image = ImageName(process);
        if (image.empty()) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_TOO_MANY_OPEN_FILES || error == ERROR_NOT_ENOUGH_MEMORY) {
                throw Keel::Error("cannot read the name of pid " + PidText(pid) + ": " +
                                  Windows::GetErrorText(error, true));
            }
            continue;
        }
        // A zombie holds no memory: it is no running process of that name.
        if (!platform::ImageNameMatches(image.c_str(), name) || HasExited(process)) continue;
        samples.push_back(Measure(process, pid, std::move(image), metric));
    }
    return samples;
}

}  // namespace plugin
