// Which processes a check looks at when it looks at several: one entry for
// each selector given. The values of one kind are alternatives (-C postgres
// -C postmaster: either name); each kind given must hold (-C java -a kafka:
// both). A new selector is one row in Selection.cpp's table and one
// predicate there.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/ImageName.h"
#include "platform/ProcessQuery.h"
#include "platform/Win32.h"

namespace plugin {

enum class Criterion { Command, Argument, ArgumentRegex, User, Service, ControlGroup };

// The option that gives `criterion`, as users write it ("-C", "--service").
const char* CriterionOption(Criterion criterion);

// Whether the command line of `process` runs a check (a sibling check's
// shell), which is never selected. False with the last error set when the
// command line cannot be read.
bool RunsACheck(HANDLE process, bool* runs);

class Selection {
public:
    // Adds a criterion from the command line; false with `error` when its
    // text can never select anything (checked again, fully, by Prepare).
    bool Add(Criterion criterion, const char* value, std::string* error);
    bool Empty() const { return entries_.empty(); }
    // True when -C NAME is the only kind of criterion: the text then names
    // the processes ("named postgres or postmaster").
    bool IsOnlyCommand() const;
    // The -C values, as "postgres or postmaster".
    std::string Names() const;
    const std::string& FirstValue() const { return entries_.front().value; }
    // True when one --service or --cgroup is the only criterion: a control
    // group's own figures can answer for it.
    bool IsOnlyGroup() const {
        return entries_.size() == 1 && (entries_[0].criterion == Criterion::Service ||
                                        entries_[0].criterion == Criterion::ControlGroup);
    }
    Criterion FirstCriterion() const { return entries_.front().criterion; }
    // True when a --service or --cgroup is among the criteria.
    bool HasGroup() const;

    // What is selected, in the status text: "service nginx", "control group
    // /x", "user postgres or www-data", or the options as given ("-C java -a
    // kafka").
    std::string Description() const;
    std::string Options() const;

    // Looks up what the criteria name (accounts, services, control groups)
    // and compiles the expressions. False with `reason` for a criterion that
    // is wrong (UNKNOWN); `notRunning` is set instead when a service is not
    // running (every one given), the text saying so.
    bool Prepare(std::string* reason, std::string* notRunning);

    // The only processes that can be selected, when services or control
    // groups name them (the smallest such kind's set); nullptr when any may be.
    const std::vector<DWORD>* Candidates() const;

    // The answer about one process from what a snapshot shows (its id and
    // image name): No, Yes, or Open when the process must be opened to tell.
    enum class Verdict { No, Yes, Open };
    Verdict FromSnapshot(DWORD pid, const char* image) const;
    // Whether any criterion matched from the snapshot alone, so that a
    // process that cannot be opened still counts as selected. The start of
    // a long name does: such a process is most likely the one named.
    bool NamedBySnapshot(DWORD pid, const char* image) const;
    // The answer for an opened process; false with the last error set when
    // something the criteria need cannot be read.
    bool Matches(HANDLE process, DWORD pid, const char* image, bool* matches) const;
    // Whether the command line decides alone what the snapshot would (no
    // name, service or control group given, and -a or
    // --ereg-argument-array): a scan then needs no names to start with.
    bool DecidedByLine() const;
    // False when `line` cannot be a selected process's command line.
    bool LineCanMatch(const std::string& line) const;

private:
    struct Entry {
        Criterion criterion;
        std::string value;
        std::shared_ptr<platform::Pattern> pattern;  // ArgumentRegex
        platform::User user;                          // User
        std::vector<DWORD> pids;                      // Service, ControlGroup: sorted
    };
    bool InSet(const Entry& entry, DWORD pid) const;
    // Whether a command line holds what an -a or --ereg-argument-array entry asks for.
    static bool LineHolds(const Entry& entry, const std::string& line);
    // The answer of one entry from the snapshot alone.
    Verdict EntryFromSnapshot(const Entry& entry, DWORD pid, const char* image) const;

    std::vector<Entry> entries_;
    std::vector<DWORD> candidates_;  // sorted
    bool hasCandidates_ = false;
    bool repeated_ = false;  // a kind given more than once: its values are alternatives
};

}  // namespace plugin
