#include "plugin/Selection.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "Common/Ascii.h"
#include "plugin/Options.h"

namespace plugin {

namespace {

struct CriterionEntry {
    Criterion criterion;
    const char* option;
    const char* words;  // how the text names it when it is the only one; nullptr: by its option
};

constexpr CriterionEntry kCriteria[] = {
    {Criterion::Command, "-C", nullptr},
    {Criterion::Argument, "-a", nullptr},
    {Criterion::ArgumentRegex, "--ereg-argument-array", nullptr},
    {Criterion::User, "-u", "user"},
    {Criterion::Service, "--service", "service"},
    {Criterion::ControlGroup, "--cgroup", "control group"},
};

const CriterionEntry& EntryFor(Criterion criterion) { return kCriteria[static_cast<int>(criterion)]; }

constexpr bool InEnumOrder() {
    for (size_t i = 0; i < sizeof kCriteria / sizeof kCriteria[0]; ++i) {
        if (static_cast<size_t>(kCriteria[i].criterion) != i) return false;
    }
    return true;
}
static_assert(InEnumOrder(), "EntryFor indexes the table by the enum");

constexpr size_t kKinds = sizeof kCriteria / sizeof kCriteria[0];

bool NeedsCommandLine(Criterion criterion) {
    return criterion == Criterion::Argument || criterion == Criterion::ArgumentRegex;
}

// The base name of `word` ("check_trelmark" of "/usr/lib/nagios/plugins/check_trelmark").
std::string BaseName(const std::string& word) {
    const size_t slash = word.find_last_of("/\\");
    return slash == std::string::npos ? word : word.substr(slash + 1);
}

// Whether `name` (a base name, any case, ".exe" optional) is a shell that
// runs scripts: the engines start checks as sh -c '...', cmd.exe /c or
// PowerShell. A login shell's argv[0] starts with '-'.
bool IsShell(std::string name) {
    static const char* const kShells[] = {"sh", "bash", "dash", "zsh", "ksh", "mksh", "ash", "busybox",
                                          "csh", "tcsh", "fish", "cmd", "powershell", "pwsh"};
    if (!name.empty() && name[0] == '-') name.erase(0, 1);
    for (char& c : name) c = Ascii::ToLower(c);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) name.resize(name.size() - 4);
    return std::any_of(std::begin(kShells), std::end(kShells), [&](const char* shell) { return name == shell; });
}

// Whether `line` is a running check_trelmark's (argv[0]'s base name is the
// plugin's) or a shell's whose script runs one: the shell that runs a
// sibling check carries that check's arguments, -a's text among them. A
// program that merely mentions the plugin in an argument is measured.
bool RunsACheck(const std::string& line) {
    static const char kSeparators[] = " \t\n\"';&|()<>`{}";
    static const char kName[] = "check_trelmark";
    const auto named = std::search(line.begin(), line.end(), kName, kName + sizeof kName - 1,
                                   [](char a, char b) { return Ascii::ToLower(a) == b; });
    if (named == line.end()) return false;  // the common case, without splitting the line
    const auto isCheck = [](const std::string& word) {
        return platform::MatchImageName(BaseName(word).c_str(), kName) == platform::NameMatch::Yes;
    };
    // argv[0]: Windows quotes a path with blanks.
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) return false;
    const char quote = line[start] == '"' || line[start] == '\'' ? line[start] : '\0';
    if (quote != '\0') ++start;
    size_t end = quote != '\0' ? line.find(quote, start) : line.find_first_of(" \t", start);
    if (end == std::string::npos) end = line.size();
    const std::string first = line.substr(start, end - start);
    if (isCheck(first)) return true;
    if (!IsShell(BaseName(first))) return false;
    for (size_t at = end; at < line.size();) {
        const size_t from = line.find_first_not_of(kSeparators, at);
        if (from == std::string::npos) break;
        size_t to = line.find_first_of(kSeparators, from);
        if (to == std::string::npos) to = line.size();
        if (isCheck(line.substr(from, to - from))) return true;
        at = to;
    }
    return false;
}

}  // namespace

const char* CriterionOption(Criterion criterion) { return EntryFor(criterion).option; }

bool RunsACheck(HANDLE process, bool* runs) {
    std::string line;
    if (!platform::ReadCommandLine(process, &line)) return false;
    *runs = RunsACheck(line);
    return true;
}

bool Selection::Add(Criterion criterion, const char* value, std::string* error) {
    const char* problem = nullptr;
    switch (criterion) {
    case Criterion::Command: problem = platform::ImageNameProblem(value); break;
    case Criterion::Argument: problem = *value == '\0' ? "the text is empty" : nullptr; break;
    case Criterion::ArgumentRegex: problem = *value == '\0' ? "the expression is empty" : nullptr; break;
    case Criterion::User: problem = *value == '\0' ? "the user name is empty" : nullptr; break;
    case Criterion::Service: problem = *value == '\0' ? "the service name is empty" : nullptr; break;
    case Criterion::ControlGroup: problem = platform::ControlGroupPathProblem(value); break;
    }
    if (problem != nullptr) {
        static const char* const kWhat[] = {"process name", "argument text", "regular expression",
                                            "user", "service name", "control group"};
        *error = std::string("invalid ") + kWhat[static_cast<int>(criterion)] + " \"" + Printable(value) + "\": " + problem;
        return false;
    }
    repeated_ = repeated_ || std::any_of(entries_.begin(), entries_.end(),
                                         [&](const Entry& e) { return e.criterion == criterion; });
    entries_.push_back(Entry{criterion, value, nullptr, platform::User(), {}});
    return true;
}

bool Selection::HasGroup() const {
    return std::any_of(entries_.begin(), entries_.end(), [](const Entry& entry) {
        return entry.criterion == Criterion::Service || entry.criterion == Criterion::ControlGroup;
    });
}

std::string Selection::Options() const {
    std::string text;
    for (const Entry& entry : entries_) {
        if (!text.empty()) text += ' ';
        text.append(EntryFor(entry.criterion).option).append(" ").append(Echoed(entry.value));
    }
    return Shortened(text, 2 * kMaxShownBytes);
}

namespace {

// Whether every entry is of the first one's kind.
template <typename Entries>
bool OneKind(const Entries& entries) {
    return !entries.empty() && std::all_of(entries.begin(), entries.end(), [&](const typename Entries::value_type& e) {
        return e.criterion == entries.front().criterion;
    });
}

}  // namespace

bool Selection::IsOnlyCommand() const { return OneKind(entries_) && entries_[0].criterion == Criterion::Command; }

std::string Selection::Names() const {
    std::string text;
    for (const Entry& entry : entries_) {
        if (entry.criterion != Criterion::Command) continue;
        if (!text.empty()) text += " or ";
        text += Echoed(entry.value);
    }
    return text;
}

std::string Selection::Description() const {
    const char* words = OneKind(entries_) ? EntryFor(entries_[0].criterion).words : nullptr;
    if (words == nullptr) return Options();
    std::string text = words;
    for (size_t i = 0; i < entries_.size(); ++i) text.append(i == 0 ? " " : " or ").append(Echoed(entries_[i].value));
    return text;
}

bool Selection::Prepare(std::string* reason, std::string* notRunning) {
    size_t services = 0, stopped = 0;
    std::string firstStopped, serviceNames;
    for (Entry& entry : entries_) {
        const std::string shown = Echoed(entry.value);
        switch (entry.criterion) {
        case Criterion::Command:
        case Criterion::Argument:
            break;
        case Criterion::ArgumentRegex: {
            entry.pattern = std::make_shared<platform::Pattern>();
            std::string error;
            if (!entry.pattern->Compile(entry.value, &error)) {
                *reason = "invalid regular expression \"" + shown + "\": " + Printable(error);
                return false;
            }
            break;
        }
        case Criterion::User: {
            std::string error;
            if (!platform::ResolveUser(entry.value.c_str(), &entry.user, &error)) {
                *reason = Printable(error);
                return false;
            }
            break;
        }
        case Criterion::Service: {
            platform::ServiceProcesses service;
            std::string error;
            if (!platform::FindServiceProcesses(entry.value.c_str(), &service, &error)) {
                *reason = "cannot find service " + shown + ": " + Printable(error);
                return false;
            }
            if (service.state == platform::ServiceState::Missing) {
                *reason = "no service named " + shown;
                return false;
            }
            ++services;
            serviceNames.append(serviceNames.empty() ? "" : ", ").append(shown);
            if (service.state == platform::ServiceState::NotRunning) {
                // Another service given may be running: this one adds no process.
                if (stopped++ == 0) firstStopped = "service " + shown + " is not running (" + Printable(service.detail) + ")";
                break;
            }
            entry.pids = std::move(service.pids);
            break;
        }
        case Criterion::ControlGroup: {
            std::string error;
            if (!platform::FindControlGroupProcesses(entry.value.c_str(), &entry.pids, &error)) {
                *reason = Printable(error);
                return false;
            }
            break;
        }
        }
        std::sort(entry.pids.begin(), entry.pids.end());
    }
    if (services > 0 && stopped == services) {
        *notRunning = services == 1 ? firstStopped : "none of the services " + serviceNames + " is running";
        return true;
    }
    // The kinds that name their processes: the values of one kind add up,
    // and the smallest kind bounds what can be selected.
    hasCandidates_ = false;
    for (Criterion kind : {Criterion::Service, Criterion::ControlGroup}) {
        std::vector<DWORD> set;
        bool given = false;
        for (const Entry& entry : entries_) {
            if (entry.criterion != kind) continue;
            given = true;
            set.insert(set.end(), entry.pids.begin(), entry.pids.end());
        }
        if (!given) continue;
        std::sort(set.begin(), set.end());
        set.erase(std::unique(set.begin(), set.end()), set.end());
        if (!hasCandidates_ || set.size() < candidates_.size()) candidates_ = std::move(set);
        hasCandidates_ = true;
    }
    return true;
}

bool Selection::InSet(const Entry& entry, DWORD pid) const {
    return std::binary_search(entry.pids.begin(), entry.pids.end(), pid);
}

const std::vector<DWORD>* Selection::Candidates() const { return hasCandidates_ ? &candidates_ : nullptr; }

Selection::Verdict Selection::EntryFromSnapshot(const Entry& entry, DWORD pid, const char* image) const {
    switch (entry.criterion) {
    case Criterion::Command:
        switch (platform::MatchImageName(image, entry.value.c_str())) {
        case platform::NameMatch::No: return Verdict::No;
        case platform::NameMatch::Prefix: return Verdict::Open;
        case platform::NameMatch::Yes: return Verdict::Yes;
        }
        return Verdict::Open;
    case Criterion::Service:
    case Criterion::ControlGroup:
        return InSet(entry, pid) ? Verdict::Yes : Verdict::No;
    case Criterion::Argument:
    case Criterion::ArgumentRegex:
    case Criterion::User:
        break;
    }
    return Verdict::Open;
}

// Each kind's verdict is its best value's (any may hold); the selection's is
// its worst kind's (all must).
Selection::Verdict Selection::FromSnapshot(DWORD pid, const char* image) const {
    if (!repeated_) {  // one value of each kind, as most checks give: no kind to gather
        Verdict verdict = Verdict::Yes;
        for (const Entry& entry : entries_) {
            const Verdict each = EntryFromSnapshot(entry, pid, image);
            if (each == Verdict::No) return Verdict::No;
            if (each == Verdict::Open) verdict = Verdict::Open;
        }
        return verdict;
    }
    const auto rank = [](Verdict v) { return v == Verdict::No ? 0 : v == Verdict::Open ? 1 : 2; };
    bool given[kKinds] = {};
    Verdict best[kKinds] = {};
    for (const Entry& entry : entries_) {
        const int kind = static_cast<int>(entry.criterion);
        if (given[kind] && best[kind] == Verdict::Yes) continue;
        const Verdict each = EntryFromSnapshot(entry, pid, image);
        if (!given[kind] || rank(each) > rank(best[kind])) best[kind] = each;
        given[kind] = true;
    }
    Verdict verdict = Verdict::Yes;
    for (size_t kind = 0; kind < kKinds; ++kind) {
        if (!given[kind]) continue;
        if (best[kind] == Verdict::No) return Verdict::No;
        if (best[kind] == Verdict::Open) verdict = Verdict::Open;
    }
    return verdict;
}

bool Selection::NamedBySnapshot(DWORD pid, const char* image) const {
    for (const Entry& entry : entries_) {
        if (entry.criterion == Criterion::Command &&
            platform::MatchImageName(image, entry.value.c_str()) != platform::NameMatch::No) {
            return true;
        }
        if ((entry.criterion == Criterion::Service || entry.criterion == Criterion::ControlGroup) && InSet(entry, pid)) {
            return true;
        }
    }
    return false;
}

bool Selection::DecidedByLine() const {
    bool line = false;
    for (const Entry& entry : entries_) {
        if (entry.criterion == Criterion::Command || entry.criterion == Criterion::Service ||
            entry.criterion == Criterion::ControlGroup) {
            return false;
        }
        line = line || NeedsCommandLine(entry.criterion);
    }
    return line;
}

bool Selection::LineHolds(const Entry& entry, const std::string& line) {
    return entry.criterion == Criterion::Argument ? line.find(entry.value) != std::string::npos
                                                  : entry.pattern->Matches(line);
}

bool Selection::LineCanMatch(const std::string& line) const {
    bool given[kKinds] = {};
    bool holds[kKinds] = {};
    for (const Entry& entry : entries_) {
        if (!NeedsCommandLine(entry.criterion)) continue;
        const int kind = static_cast<int>(entry.criterion);
        given[kind] = true;
        if (holds[kind]) continue;
        holds[kind] = LineHolds(entry, line);
    }
    for (size_t kind = 0; kind < kKinds; ++kind) {
        if (given[kind] && !holds[kind]) return false;
    }
    return true;
}

bool Selection::Matches(HANDLE process, DWORD pid, const char* image, bool* matches) const {
    *matches = false;
    if (FromSnapshot(pid, image) == Verdict::No) return true;
    std::string line;
    bool lineRead = false;
    // Per kind (in the table's order): whether a value of it holds yet.
    bool given[kKinds] = {};
    bool holds[kKinds] = {};
    for (const Entry& entry : entries_) {
        const int kind = static_cast<int>(entry.criterion);
        given[kind] = true;
        if (holds[kind]) continue;
        if (NeedsCommandLine(entry.criterion) && !lineRead) {
            if (!platform::ReadCommandLine(process, &line)) return false;
            lineRead = true;
            if (RunsACheck(line)) return true;
        }
        bool each = true;
        switch (entry.criterion) {
        case Criterion::Command:
            switch (platform::MatchImageName(image, entry.value.c_str())) {
            case platform::NameMatch::No: each = false; break;
            case platform::NameMatch::Yes: break;
            case platform::NameMatch::Prefix:
                if (!platform::FullImageNameIs(process, entry.value.c_str(), &each)) return false;
                break;
            }
            break;
        case Criterion::Argument:
        case Criterion::ArgumentRegex: each = LineHolds(entry, line); break;
        case Criterion::User:
            if (!platform::ProcessOwnedBy(process, entry.user, &each)) return false;
            break;
        case Criterion::Service:
        case Criterion::ControlGroup:
            each = InSet(entry, pid);
            break;
        }
        holds[kind] = each;
    }
    for (size_t kind = 0; kind < kKinds; ++kind) {
        if (given[kind] && !holds[kind]) return true;
    }
    *matches = true;
    return true;
}

}  // namespace plugin
