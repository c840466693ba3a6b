// What a selection asks of a process beyond its name and memory: its
// command line, its owner, the service or control group it belongs to.
// Each system answers with its own mechanism behind these calls.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Win32.h"

namespace platform {

// Longest command line read; the rest is not compared. Windows' own limit is
// 32767 characters; Linux allows far longer ones.
constexpr size_t kMaxCommandLineBytes = 131072;

// The command line of `process` (opened for query and memory reading), UTF-8:
// on Linux the arguments joined by single spaces, as ps -o args shows them;
// on Windows the line the process was started with, quoting included. False
// with the last error set when it cannot be read; an empty line (a kernel
// thread's) is no error.
bool ReadCommandLine(HANDLE process, std::string* line);

// Whether a command line can be read without opening its process, more
// cheaply than opening it (Linux: /proc/<pid>/cmdline). A scan that only a
// command line decides then reads every line first and opens only the
// processes whose line could be selected.
#ifdef _WIN32
constexpr bool kCommandLinePeekIsCheap = false;
#else
constexpr bool kCommandLinePeekIsCheap = true;
#endif

// The ids of the running processes, without their names (on Linux cheaper
// than a snapshot, which reads each process's stat). False with the last
// error set when they cannot be listed.
bool ListProcessIds(std::vector<DWORD>* pids);

// The command line of process `pid`, as ReadCommandLine gives it, read
// without holding the process: the id may name another process by the time
// it is opened, so the line only rules a process out; the held process's
// own line decides. False with the last error set when it cannot be read.
bool PeekCommandLine(DWORD pid, std::string* line);

// Whether the executable's base name or argv[0]'s is `wanted`, for names the
// system keeps only the start of (see ImageName.h). False with the last
// error set when neither can be read; *matches otherwise.
bool FullImageNameIs(HANDLE process, const char* wanted, bool* matches);

// The id of the process that started this one (Linux: getppid; Windows: the
// process basic information's parent id). 0 when unknown.
DWORD ParentProcessId();

// Adds to `pids` every process descending from one of them: their
// children, the children's children, and so on. Linux: as the processes'
// parent ids say (the kernel keeps a parent id naming the live parent).
// Windows: as the parent ids say, keeping only a child created after its
// parent (an id Windows keeps for a parent that has exited may be reused).
// False with the last error set when the processes cannot be listed.
bool AddDescendants(std::vector<DWORD>* pids);

// An account as -u names it.
struct User {
    uint32_t uid = 0;    // Linux: the numeric user id
    std::string domain;  // Windows: empty when any domain will do
    std::string name;    // Windows: the account name, compared in any case
};

// Resolves -u's text: Linux, a user name or a numeric uid; Windows,
// DOMAIN\name or name. False with `reason` when no such account exists.
bool ResolveUser(const char* text, User* user, std::string* reason);

// Whether `process` (opened for query) is owned by `user`: Linux compares the
// real uid. False with the last error set when the owner cannot be read.
bool ProcessOwnedBy(HANDLE process, const User& user, bool* owned);

enum class ServiceState { Running, NotRunning, Missing };

struct ServiceProcesses {
    ServiceState state = ServiceState::Missing;
    std::string detail;         // why it is not running, in a few words ("stopped")
    std::vector<DWORD> pids;    // Running: every process of the service
};

// The processes of service `name`. Windows: the Service Control Manager's
// process for it and the processes started after it that descend from it.
// Linux: every process in the systemd unit's control group and below
// (".service" added when `name` has no unit suffix). False with `reason`
// when the system cannot be asked.
bool FindServiceProcesses(const char* name, ServiceProcesses* service, std::string* reason);

// Every process in the control group `path` (as /proc/<pid>/cgroup writes
// it) and its sub-groups. False with `reason` when there is no such group or
// the system has none (Windows).
bool FindControlGroupProcesses(const char* path, std::vector<DWORD>* pids, std::string* reason);

// Why `path` can never name a control group here, or nullptr.
const char* ControlGroupPathProblem(const char* path);

// A POSIX extended regular expression.
class Pattern {
public:
    Pattern();
    ~Pattern();
    Pattern(const Pattern&) = delete;
    Pattern& operator=(const Pattern&) = delete;

    // False with `error` saying why when `expression` is not valid. Both
    // throw std::bad_alloc when the expression's automaton needs more memory
    // than the program may hold.
    bool Compile(const std::string& expression, std::string* error);
    bool Matches(const std::string& text) const;

private:
    struct Compiled;
    std::unique_ptr<Compiled> compiled_;
};

}  // namespace platform
