#include "plugin/Selection.h"

#include <algorithm>
#include <cstring>

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

bool NeedsCommandLine(Criterion criterion) {
    return criterion == Criterion::Argument || criterion == Criterion::ArgumentRegex;
}

// Whether a word of `line` (split at blanks and quotes) names a
// check_trelmark program: the shell or wrapper that runs a sibling check
// carries that check's arguments, -a's text among them.
bool RunsACheck(const std::string& line) {
    static const char kSeparators[] = " \t\"'";
    static const char kName[] = "check_trelmark";
    const auto named = std::search(line.begin(), line.end(), kName, kName + sizeof kName - 1,
                                   [](char a, char b) { return Ascii::ToLower(a) == b; });
    if (named == line.end()) return false;  // the common case, without splitting the line
    for (size_t at = 0; at < line.size();) {
        const size_t start = line.find_first_not_of(kSeparators, at);
        if (start == std::string::npos) break;
        size_t end = line.find_first_of(kSeparators, start);
        if (end == std::string::npos) end = line.size();
        std::string word = line.substr(start, end - start);
        const size_t slash = word.find_last_of("/\\");
        if (slash != std::string::npos) word.erase(0, slash + 1);
        if (platform::MatchImageName(word.c_str(), "check_trelmark") == platform::NameMatch::Yes) return true;
        at = end;
    }
    return false;
}

}  // namespace

const char* CriterionOption(Criterion criterion) { return EntryFor(criterion).option; }

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
        text.append(EntryFor(entry.criterion).option).append(" ").append(Printable(entry.value));
    }
    return text;
}

std::string Selection::Description() const {
    const char* words = entries_.size() == 1 ? EntryFor(entries_[0].criterion).words : nullptr;
    return words != nullptr ? std::string(words) + " " + Printable(entries_[0].value) : Options();
}

bool Selection::Prepare(std::string* reason, std::string* notRunning) {
    for (Entry& entry : entries_) {
        const std::string shown = Printable(entry.value);
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
            if (service.state == platform::ServiceState::NotRunning) {
                *notRunning = "service " + shown + " is not running (" + Printable(service.detail) + ")";
                return true;
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
    return true;
}

bool Selection::InSet(const Entry& entry, DWORD pid) const {
    return std::binary_search(entry.pids.begin(), entry.pids.end(), pid);
}

const std::vector<DWORD>* Selection::Candidates() const {
    const std::vector<DWORD>* smallest = nullptr;
    for (const Entry& entry : entries_) {
        const bool set = entry.criterion == Criterion::Service || entry.criterion == Criterion::ControlGroup;
        if (set && (smallest == nullptr || entry.pids.size() < smallest->size())) smallest = &entry.pids;
    }
    return smallest;
}

Selection::Verdict Selection::FromSnapshot(DWORD pid, const char* image) const {
    Verdict verdict = Verdict::Yes;
    for (const Entry& entry : entries_) {
        switch (entry.criterion) {
        case Criterion::Command:
            switch (platform::MatchImageName(image, entry.value.c_str())) {
            case platform::NameMatch::No: return Verdict::No;
            case platform::NameMatch::Prefix: verdict = Verdict::Open; break;
            case platform::NameMatch::Yes: break;
            }
            break;
        case Criterion::Service:
        case Criterion::ControlGroup:
            if (!InSet(entry, pid)) return Verdict::No;
            break;
        case Criterion::Argument:
        case Criterion::ArgumentRegex:
        case Criterion::User:
            verdict = Verdict::Open;
            break;
        }
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

bool Selection::Matches(HANDLE process, DWORD pid, const char* image, bool* matches) const {
    *matches = false;
    if (FromSnapshot(pid, image) == Verdict::No) return true;
    std::string line;
    bool lineRead = false;
    for (const Entry& entry : entries_) {
        bool holds = true;
        if (NeedsCommandLine(entry.criterion) && !lineRead) {
            if (!platform::ReadCommandLine(process, &line)) return false;
            lineRead = true;
            if (RunsACheck(line)) return true;
        }
        switch (entry.criterion) {
        case Criterion::Command:
            if (platform::MatchImageName(image, entry.value.c_str()) == platform::NameMatch::Prefix &&
                !platform::FullImageNameIs(process, entry.value.c_str(), &holds)) {
                return false;
            }
            break;
        case Criterion::Argument: holds = line.find(entry.value) != std::string::npos; break;
        case Criterion::ArgumentRegex: holds = entry.pattern->Matches(line); break;
        case Criterion::User:
            if (!platform::ProcessOwnedBy(process, entry.user, &holds)) return false;
            break;
        case Criterion::Service:
        case Criterion::ControlGroup:
            break;  // decided from the snapshot
        }
        if (!holds) return true;
    }
    *matches = true;
    return true;
}

}  // namespace plugin
