#include "plugin/Processes.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "keel/Error.h"
#include "platform/ErrorText.h"
#include "platform/ImageName.h"
#include "platform/ProcessMemory.h"
#include "platform/ProcessQuery.h"
#include "platform/ProcessView.h"
#include "windows/WindowsUtils2.h"

namespace plugin {

namespace {

constexpr DWORD kAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
// Enough to read the counters, the command line and the owner: granted for
// more processes than kAccess.
constexpr DWORD kLeastAccess = PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ;

// Larger files are not pidfiles (a database's, with data after the id, stays
// well below this).
constexpr size_t kMaxPidfileBytes = 4096;

std::string PidText(DWORD pid) { return std::to_string(pid); }

// The private working set, where the system fills it in.
uint64_t PrivateWorkingSet(HANDLE process, DWORD pid) {
    PROCESS_MEMORY_COUNTERS_EX2 counters;
    std::memset(&counters, 0, sizeof counters);
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(process, reinterpret_cast<PPROCESS_MEMORY_COUNTERS>(&counters), sizeof counters)) {
        throw Keel::Error("cannot read the unique memory of pid " + PidText(pid) + ": " +
                          platform::LastErrorText());
    }
    if (platform::kPrivateWorkingSetMayBeUnfilled && counters.PrivateWorkingSetSize == 0 &&
        counters.WorkingSetSize != 0) {
        throw Keel::Error("the system does not report the private working set (-m uss) of pid " + PidText(pid) +
                          "; Windows 10 1809 and later do");
    }
    return counters.PrivateWorkingSetSize;
}

uint64_t ProportionalSet(HANDLE process, DWORD pid) {
    uint64_t bytes = 0;
    if (!platform::GetProcessProportionalSetSize(process, &bytes)) {
        throw Keel::Error("cannot read the proportional memory of pid " + PidText(pid) + ": " +
                          platform::LastErrorText());
    }
    return bytes;
}

// The working, peak and private figures come from one read of the counters,
// the anonymous and swapped-out memory from one read of status; both kept
// here while a process's figures are taken.
struct Counters {
    bool read = false;
    uint64_t working = 0, peakWorking = 0, privateUsage = 0;
    bool statusRead = false;
    uint64_t anonymous = 0, swap = 0;

    void Take(const PROCESS_MEMORY_COUNTERS_EX& counters) {
        working = counters.WorkingSetSize;
        peakWorking = counters.PeakWorkingSetSize;
        privateUsage = counters.PrivateUsage;
        read = true;
    }
};

uint64_t StatusFigure(HANDLE process, DWORD pid, Metric metric, Counters* c) {
    const bool swap = metric == Metric::Swap;
    if (!c->statusRead) {
        if (!platform::GetProcessStatusFigures(process, &c->anonymous, &c->swap)) {
            throw Keel::Error(std::string("cannot read the ") + (swap ? "swapped-out" : "resident anonymous") +
                              " memory of pid " + PidText(pid) + ": " + platform::LastErrorText());
        }
        c->statusRead = true;
    }
    return swap ? c->swap : c->anonymous;
}

uint64_t Figure(HANDLE process, DWORD pid, Metric metric, Counters* counters) {
    if (metric == Metric::Unique) return PrivateWorkingSet(process, pid);
    if (metric == Metric::Proportional) return ProportionalSet(process, pid);
    if (metric == Metric::Swap || metric == Metric::Anonymous) return StatusFigure(process, pid, metric, counters);
    Counters& c = *counters;
    if (!c.read) {
        PROCESS_MEMORY_COUNTERS_EX read;
        std::memset(&read, 0, sizeof read);
        read.cb = sizeof read;
        if (!::GetProcessMemoryInfo(process, reinterpret_cast<PPROCESS_MEMORY_COUNTERS>(&read), sizeof read)) {
            throw Keel::Error("cannot read the memory counters of pid " + PidText(pid) + ": " + platform::LastErrorText());
        }
        c.Take(read);
    }
    return metric == Metric::Working ? c.working : metric == Metric::Peak ? c.peakWorking : c.privateUsage;
}

constexpr Metric kStatusFigures[] = {Metric::Swap, Metric::Anonymous};

// The counters and the status figures from one read, for an exposition of
// every figure.
void ReadAllCounters(HANDLE process, DWORD pid, Counters* c) {
    PROCESS_MEMORY_COUNTERS_EX counters;
    if (!platform::GetProcessCountersAndStatus(process, &counters, &c->anonymous, &c->swap)) {
        throw Keel::Error("cannot read the memory counters of pid " + PidText(pid) + ": " + platform::LastErrorText());
    }
    c->Take(counters);
    c->statusRead = true;
}

Sample Measure(HANDLE process, DWORD pid, std::string name, Metric metric, const std::vector<Metric>* figures) {
    Sample sample;
    sample.pid = pid;
    Counters counters;
    if (figures != nullptr && std::find_first_of(figures->begin(), figures->end(), std::begin(kStatusFigures),
                                                 std::end(kStatusFigures)) != figures->end()) {
        ReadAllCounters(process, pid, &counters);
    }
    sample.bytes = Figure(process, pid, metric, &counters);
    if (figures != nullptr) {
        for (Metric each : *figures) {
            if (sample.figureCount == Sample::kMaxFigures) break;
            sample.figures[sample.figureCount++] = each == metric ? sample.bytes : Figure(process, pid, each, &counters);
        }
    }
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

// Failures that could hide a selected process anywhere: the check fails.
bool IsResourceError(DWORD error) { return error == ERROR_TOO_MANY_OPEN_FILES || error == ERROR_NOT_ENOUGH_MEMORY; }

// A process that cannot be opened or read for want of descriptors or memory
// fails the check: it could be any of those selected.
void FailOnResourceError(DWORD error, const char* doing, DWORD pid) {
    if (IsResourceError(error)) throw Keel::Error(doing + PidText(pid) + ": " + platform::ErrorText(error));
}

// A process of the snapshot: its id and image name.
struct Listed {
    DWORD pid;
    std::string image;
};

std::vector<Listed> Snapshot() {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        throw Keel::Error("cannot list the processes: " + platform::LastErrorText());
    }
    Windows::HandleSentry sentry(snapshot);
    std::vector<Listed> listed;
    listed.reserve(1024);  // most hosts' count: no moves of the names as it grows
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32First(snapshot, &entry); more; more = ::Process32Next(snapshot, &entry)) {
        entry.szExeFile[sizeof entry.szExeFile - 1] = '\0';
        listed.push_back(Listed{entry.th32ProcessID, entry.szExeFile});
    }
    if (::GetLastError() != ERROR_NO_MORE_FILES) {
        throw Keel::Error("cannot list the processes: " + platform::LastErrorText());
    }
    return listed;
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
    const std::string shown = Echoed(path);
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

Sample MeasureProcess(DWORD pid, Metric metric, const std::vector<Metric>* figures) {
    HANDLE process = ::OpenProcess(kAccess, FALSE, pid);
    if (process == nullptr) {
        const DWORD error = ::GetLastError();
        // What Windows says for an id that names no process.
        if (error == ERROR_INVALID_PARAMETER) throw Keel::Error("no process with pid " + PidText(pid), false, kProcessGone);
        throw Keel::Error("cannot open the process with pid " + PidText(pid) + ": " +
                          platform::ErrorText(error));
    }
    Windows::HandleSentry sentry(process);
    if (HasExited(process)) throw Keel::Error("the process with pid " + PidText(pid) + " has exited", false, kProcessGone);
    return Measure(process, pid, ImageName(process), metric, figures);
}

Selected MeasureSelection(const Selection& chosen, Metric metric, const std::vector<Metric>* figures) {
    Selected result;
    Selection selection = chosen;
    std::string reason;
    if (!selection.Prepare(&reason, &result.notRunning)) throw Keel::Error(reason);
    if (!result.notRunning.empty()) return result;

    // A service's or control group's processes are few: opening each is
    // cheaper than listing the host. Their names are read once opened.
    const std::vector<DWORD>* candidates = selection.Candidates();
    // Where only the command line decides and reading it costs less than
    // opening the process, the lines are read first and only the processes
    // whose line could be selected are opened; their names, and their own
    // lines, are read once they are held.
    const bool byLine = candidates == nullptr && platform::kCommandLinePeekIsCheap && selection.DecidedByLine();
    std::vector<Listed> listed;
    if (byLine) {
        std::vector<DWORD> pids;
        if (!platform::ListProcessIds(&pids)) {
            throw Keel::Error("cannot list the processes: " + platform::LastErrorText());
        }
        listed.reserve(pids.size());
        for (DWORD pid : pids) listed.push_back(Listed{pid, std::string()});
    } else if (candidates != nullptr) {
        for (DWORD pid : *candidates) listed.push_back(Listed{pid, std::string()});
    } else {
        listed = Snapshot();
    }
    const bool listedName = candidates == nullptr && !byLine;
    std::string peeked;
    const DWORD self = ::GetCurrentProcessId();
    const DWORD parent = platform::ParentProcessId();
    const auto unreadable = [&](const std::string& why) {
        if (result.unreadable++ == 0) result.reason = why;
    };
    // Never this check, its parent or a sibling check.
    const auto excluded = [&](DWORD pid, const char* image) {
        return pid == self || pid == parent || pid == 0 ||
               platform::MatchImageName(image, "check_trelmark") == platform::NameMatch::Yes;
    };
    for (Listed& p : listed) {
        if (excluded(p.pid, p.image.c_str())) continue;
        Selection::Verdict verdict = Selection::Verdict::Open;
        if (listedName && (verdict = selection.FromSnapshot(p.pid, p.image.c_str())) == Selection::Verdict::No) continue;
        // A line that cannot be read here is read again once the process is
        // held, where its failure is judged.
        if (byLine && platform::PeekCommandLine(p.pid, &peeked) && !selection.LineCanMatch(peeked)) continue;
        // A process the snapshot already names as selected is never dropped
        // in silence; one that only its command line or owner could name is
        // not counted when those cannot be read.
        // (Asked only when a process fails: as the list named it.)
        const auto named = [&] { return selection.NamedBySnapshot(p.pid, listedName ? p.image.c_str() : ""); };
        HANDLE process = ::OpenProcess(kLeastAccess, FALSE, p.pid);
        if (process == nullptr) {
            const DWORD error = ::GetLastError();
            FailOnResourceError(error, "cannot open the process with pid ", p.pid);
            if (error != ERROR_INVALID_PARAMETER && named()) unreadable(platform::ErrorText(error));
            continue;
        }
        Windows::HandleSentry sentry(process);
        if (!listedName) {
            p.image = ImageName(process);
            if (excluded(p.pid, p.image.c_str())) continue;
            verdict = selection.FromSnapshot(p.pid, p.image.c_str());
            if (verdict == Selection::Verdict::No) continue;
        }
        const char* image = p.image.c_str();
        bool matches = true;
        if (verdict == Selection::Verdict::Open && !selection.Matches(process, p.pid, image, &matches)) {
            const DWORD error = ::GetLastError();
            FailOnResourceError(error, "cannot read pid ", p.pid);
            if (named() && !HasExited(process)) unreadable(platform::ErrorText(error));
            continue;
        }
        if (!matches) continue;
        // A zombie holds no memory: it is no running process. (Asked only
        // of the processes selected: most of a scan's are not.)
        if (HasExited(process)) continue;
        try {
            result.samples.push_back(Measure(process, p.pid, p.image, metric, figures));
        } catch (const Keel::Error& e) {
            if (!HasExited(process)) unreadable(e.Message());
        }
    }
    return result;
}

void MeasureDescendants(Selected* selected, Metric metric, const std::vector<Metric>* figures) {
    std::vector<DWORD> roots;
    for (const Sample& s : selected->samples) roots.push_back(s.pid);
    std::vector<DWORD> tree = roots;
    if (!platform::AddDescendants(&tree)) {
        throw Keel::Error("cannot list the processes: " + platform::LastErrorText());
    }
    const DWORD self = ::GetCurrentProcessId();
    const DWORD parent = platform::ParentProcessId();
    const auto unreadable = [&](const std::string& why) {
        if (selected->unreadable++ == 0) selected->reason = why;
    };
    for (size_t i = roots.size(); i < tree.size(); ++i) {
        const DWORD pid = tree[i];
        // Never this check, its parent or a sibling check (nor its shell).
        if (pid == self || pid == parent || pid == 0) continue;
        HANDLE process = ::OpenProcess(kLeastAccess, FALSE, pid);
        if (process == nullptr) {
            const DWORD error = ::GetLastError();
            FailOnResourceError(error, "cannot open the process with pid ", pid);
            if (error != ERROR_INVALID_PARAMETER) unreadable(platform::ErrorText(error));
            continue;
        }
        Windows::HandleSentry sentry(process);
        if (HasExited(process)) continue;
        std::string image = ImageName(process);
        if (platform::MatchImageName(image.c_str(), "check_trelmark") == platform::NameMatch::Yes) continue;
        bool check = false;
        if (!RunsACheck(process, &check)) {
            const DWORD error = ::GetLastError();
            FailOnResourceError(error, "cannot read pid ", pid);
            if (!HasExited(process)) unreadable(platform::ErrorText(error));
            continue;
        }
        if (check) continue;
        try {
            selected->samples.push_back(Measure(process, pid, std::move(image), metric, figures));
        } catch (const Keel::Error& e) {
            if (!HasExited(process)) unreadable(e.Message());
        }
    }
}

}  // namespace plugin
