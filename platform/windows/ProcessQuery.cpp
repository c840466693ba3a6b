// Windows: command lines from the process environment block, owners from
// the process token, services from the Service Control Manager and the
// process snapshot. Nothing read from another process is trusted: its
// lengths and pointers are bounded here before use.
#include "platform/ProcessQuery.h"

#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <regex>
#include <set>

#include "Common/Ascii.h"
#include "platform/ImageName.h"
#include "platform/ErrorText.h"

namespace platform {

namespace {

bool Failed(NTSTATUS status) {
    SetLastError(RtlNtStatusToDosError(status));
    return false;
}

// A UNICODE_STRING's 16-bit length bounds a line to 32767 UTF-16 units,
// which take at most three bytes each in UTF-8: it is never cut.
static_assert(32767 * 3 <= kMaxCommandLineBytes, "a Windows command line fits whole");

bool Utf8(const wchar_t* text, size_t units, std::string* out) {
    out->clear();
    if (units == 0) return true;
    const int n = static_cast<int>(units);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, n, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return false;
    out->resize(static_cast<size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, 0, text, n, &(*out)[0], bytes, nullptr, nullptr);
    // A NUL inside the line would end it for every C-string caller.
    std::replace(out->begin(), out->end(), '\0', ' ');
    return true;
}

bool ReadRemote(HANDLE process, const void* address, void* into, size_t bytes) {
    SIZE_T read = 0;
    if (!ReadProcessMemory(process, address, into, bytes, &read)) return false;
    if (read != bytes) {
        SetLastError(ERROR_PARTIAL_COPY);
        return false;
    }
    return true;
}

// The block's pointer to the process parameters, and in them the command
// line's descriptor: only these fields are read, never the whole records.
bool CommandLineFromEnvironmentBlock(HANDLE process, std::string* line) {
    line->clear();
    PROCESS_BASIC_INFORMATION basic{};
    const NTSTATUS status = NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, nullptr);
    if (!NT_SUCCESS(status)) return Failed(status);
    // No environment block (a system pseudo-process) or no parameters yet
    // (a process still starting): no command line.
    if (basic.PebBaseAddress == nullptr) return true;
    const BYTE* peb = reinterpret_cast<const BYTE*>(basic.PebBaseAddress);
    PRTL_USER_PROCESS_PARAMETERS parameters = nullptr;
    if (!ReadRemote(process, peb + offsetof(PEB, ProcessParameters), &parameters, sizeof parameters)) return false;
    if (parameters == nullptr) return true;
    UNICODE_STRING commandLine;
    const BYTE* field = reinterpret_cast<const BYTE*>(parameters) + offsetof(RTL_USER_PROCESS_PARAMETERS, CommandLine);
    if (!ReadRemote(process, field, &commandLine, sizeof commandLine)) return false;
    const size_t units = commandLine.Length / sizeof(wchar_t);
    std::vector<wchar_t> text(units);
    if (units != 0 && !ReadRemote(process, commandLine.Buffer, text.data(), units * sizeof(wchar_t))) return false;
    return Utf8(text.data(), units, line);
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && EqualIgnoringCase(a.data(), b.data(), a.size());
}

struct Account {
    std::vector<BYTE> sid;
    bool mapped = false;  // false: the system knows no name for the SID
    std::string domain, name;
};

// A check sees a handful of owners across thousands of processes: each SID
// is looked up once.
bool LookupOwner(PSID sid, const Account** account) {
    static std::vector<Account> known;
    for (const Account& a : known) {
        if (EqualSid(const_cast<BYTE*>(a.sid.data()), sid)) {
            *account = &a;
            return true;
        }
    }
    Account a;
    a.sid.assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
    char name[256], domain[256];
    DWORD nameLength = sizeof name, domainLength = sizeof domain;
    SID_NAME_USE use;
    if (LookupAccountSidA(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        a.mapped = true;
        a.name = name;
        a.domain = domain;
    } else if (GetLastError() != ERROR_NONE_MAPPED) {
        return false;
    }
    if (known.size() >= 64) known.erase(known.begin());
    known.push_back(std::move(a));
    *account = &known.back();
    return true;
}

const char* StateWords(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED: return "stopped";
        case SERVICE_START_PENDING: return "start pending";
        case SERVICE_STOP_PENDING: return "stop pending";
        case SERVICE_PAUSED: return "paused";
        case SERVICE_CONTINUE_PENDING: return "continue pending";
        case SERVICE_PAUSE_PENDING: return "pause pending";
        default: return "in an unknown state";
    }
}

struct ServiceHandle {
    SC_HANDLE handle;
    explicit ServiceHandle(SC_HANDLE h) : handle(h) {}
    ~ServiceHandle() {
        if (handle != nullptr) CloseServiceHandle(handle);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
};

enum class Birth { Known, Unknown, Gone };

// When `pid` was created. A process that cannot be opened for it (another
// user's) is Unknown; one that has ended is Gone.
Birth CreationTime(DWORD pid, ULONGLONG* time) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER ? Birth::Gone : Birth::Unknown;
    FILETIME created, exited, kernel, user;
    Birth birth = Birth::Unknown;
    DWORD code = 0;
    if (GetExitCodeProcess(process, &code) && code != STILL_ACTIVE) {
        birth = Birth::Gone;
    } else if (GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        *time = (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
        birth = Birth::Known;
    }
    CloseHandle(process);
    return birth;
}

}  // namespace

// A child created before its recorded parent only carries a reused id: it
// is not the parent's. When either creation time cannot be read the child
// is kept: a process the plugin cannot open is then reported as unreadable,
// where leaving it out could hide memory the tree uses.
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
    const DWORD listed = GetLastError();
    CloseHandle(snapshot);
    if (listed != ERROR_NO_MORE_FILES) {
        SetLastError(listed);
        return false;
    }
    std::sort(byParent.begin(), byParent.end());

    struct Member {
        DWORD pid;
        Birth birth;
        ULONGLONG created;
    };
    std::vector<Member> tree;
    std::set<DWORD> seen;
    for (DWORD root : *pids) {
        if (!seen.insert(root).second) continue;
        Member first{root, Birth::Unknown, 0};
        first.birth = CreationTime(root, &first.created);
        tree.push_back(first);
    }
    for (size_t i = 0; i < tree.size(); ++i) {
        const Member parent = tree[i];
        auto range = std::equal_range(byParent.begin(), byParent.end(), std::make_pair(parent.pid, DWORD{0}),
                                      [](const std::pair<DWORD, DWORD>& a, const std::pair<DWORD, DWORD>& b) {
                                          return a.first < b.first;
                                      });
        for (auto it = range.first; it != range.second; ++it) {
            Member child{it->second, Birth::Unknown, 0};
            if (seen.count(child.pid) != 0) continue;
            child.birth = CreationTime(child.pid, &child.created);
            if (child.birth == Birth::Gone) continue;
            if (child.birth == Birth::Known && parent.birth == Birth::Known && child.created < parent.created) continue;
            seen.insert(child.pid);
            tree.push_back(child);
            pids->push_back(child.pid);
        }
    }
    return true;
}

namespace {

const char kNoControlGroups[] = "control groups are a Linux feature: --cgroup cannot select processes on Windows";

}  // namespace

// The environment block, not the newer command-line information class:
// Wine 8 does not answer that, and the handles it would spare the memory
// read are opened with it all the same.
bool ReadCommandLine(HANDLE process, std::string* line) { return CommandLineFromEnvironmentBlock(process, line); }

bool ListProcessIds(std::vector<DWORD>* pids) {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    pids->clear();
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32First(snapshot, &entry); more; more = ::Process32Next(snapshot, &entry)) {
        pids->push_back(entry.th32ProcessID);
    }
    const DWORD error = ::GetLastError();
    ::CloseHandle(snapshot);
    ::SetLastError(error);
    return error == ERROR_NO_MORE_FILES;
}

bool PeekCommandLine(DWORD pid, std::string* line) {
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) return false;
    const bool read = ReadCommandLine(process, line);
    const DWORD error = ::GetLastError();
    ::CloseHandle(process);
    ::SetLastError(error);
    return read;
}

bool FullImageNameIs(HANDLE process, const char* wanted, bool* matches) {
    // Long paths reach 32767 characters.
    std::vector<char> path(32768);
    DWORD length = static_cast<DWORD>(path.size());
    if (!QueryFullProcessImageNameA(process, 0, path.data(), &length)) return false;
    const char* base = path.data();
    for (const char* p = base; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') base = p + 1;
    }
    *matches = ImageNameMatches(base, wanted);
    return true;
}

DWORD ParentProcessId() {
    PROCESS_BASIC_INFORMATION basic{};
    if (!NT_SUCCESS(NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof basic,
                                              nullptr))) {
        return 0;
    }
    return static_cast<DWORD>(basic.InheritedFromUniqueProcessId);
}

bool ResolveUser(const char* text, User* user, std::string* reason) {
    const char* slash = std::strchr(text, '\\');
    user->uid = 0;
    user->domain = slash != nullptr ? std::string(text, slash) : std::string();
    user->name = slash != nullptr ? std::string(slash + 1) : std::string(text);
    if (user->name.empty()) {
        *reason = std::string("no user named ") + text;
        return false;
    }
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidLength = sizeof sid;
    char domain[256];
    DWORD domainLength = sizeof domain;
    SID_NAME_USE use;
    if (LookupAccountNameA(nullptr, text, sid, &sidLength, domain, &domainLength, &use)) return true;
    const DWORD code = GetLastError();
    if (code != ERROR_NONE_MAPPED) {
        *reason = std::string("cannot look up user ") + text + ": " + ErrorText(code);
        return false;
    }
    // Some systems (Wine) look names up in exact case only: the account
    // this check runs as is known in any case all the same.
    bool own = false;
    HANDLE self = GetCurrentProcess();
    if (ProcessOwnedBy(self, *user, &own) && own) return true;
    *reason = std::string("no user named ") + text;
    return false;
}

bool ProcessOwnedBy(HANDLE process, const User& user, bool* owned) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return false;
    // TOKEN_USER and the SID that follows it.
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD length = 0;
    const bool read = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length);
    const DWORD code = GetLastError();
    CloseHandle(token);
    if (!read) {
        SetLastError(code);
        return false;
    }
    const Account* account = nullptr;
    if (!LookupOwner(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &account)) return false;
    // An account the system has no name for (deleted, a logon session's)
    // is nobody's name.
    *owned = account->mapped && SameText(account->name, user.name) &&
             (user.domain.empty() || SameText(account->domain, user.domain));
    return true;
}

bool FindServiceProcesses(const char* name, ServiceProcesses* service, std::string* reason) {
    service->state = ServiceState::Missing;
    service->detail.clear();
    service->pids.clear();
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.handle == nullptr) {
        *reason = "cannot ask the service manager: " + LastErrorText();
        return false;
    }
    ServiceHandle handle(OpenServiceA(manager.handle, name, SERVICE_QUERY_STATUS));
    if (handle.handle == nullptr) {
        const DWORD code = GetLastError();
        // A name no service can have is as missing as one nobody installed.
        if (code == ERROR_SERVICE_DOES_NOT_EXIST || code == ERROR_INVALID_NAME) return true;
        *reason = "cannot ask the service manager: " + ErrorText(code);
        return false;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(handle.handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed)) {
        *reason = "cannot ask the service manager: " + LastErrorText();
        return false;
    }
    if (status.dwCurrentState != SERVICE_RUNNING) {
        service->state = ServiceState::NotRunning;
        service->detail = StateWords(status.dwCurrentState);
        return true;
    }
    service->state = ServiceState::Running;
    // A driver runs in no process of its own.
    if (status.dwProcessId == 0) return true;
    // The service's process and every process descending from it.
    service->pids.push_back(status.dwProcessId);
    if (!AddDescendants(&service->pids)) {
        *reason = "cannot list the processes: " + LastErrorText();
        return false;
    }
    return true;
}

bool FindControlGroupProcesses(const char*, std::vector<DWORD>* pids, std::string* reason) {
    pids->clear();
    *reason = kNoControlGroups;
    return false;
}

// A path is read as on Linux, so that a command line means the same on both;
// a well-formed one is refused by the run, with the reason.
const char* ControlGroupPathProblem(const char* path) {
    return path[0] != '/' ? "a control group path starts with / (as /proc/PID/cgroup shows it)" : nullptr;
}

struct Pattern::Compiled {
    std::regex expression;
};

Pattern::Pattern() = default;
Pattern::~Pattern() = default;

namespace {

// The standard library's expression compiler and matcher recurse per term
// and per nesting level: measured on the 2 MiB main-thread stack, 16000
// literal characters or 3000 nested groups still work, 20000 or 4000 do
// not. Longer expressions are refused well below that.
constexpr size_t kMaxExpressionBytes = 4096;

constexpr std::regex::flag_type kSyntax =
    std::regex::extended | std::regex::nosubs | std::regex_constants::__polynomial;

}  // namespace

// The search runs as one match of ".*(expression).*" by the polynomial
// matcher, a single pass over the text: the library's own search restarts
// at every position (quadratic: a minute on a 32 KiB line), and its default
// matcher recurses once per character (a stack overflow at 4000).
bool Pattern::Compile(const std::string& expression, std::string* error) {
    if (expression.size() > kMaxExpressionBytes) {
        *error = "longer than " + std::to_string(kMaxExpressionBytes) + " characters";
        return false;
    }
    try {
        // Alone first, so that its faults are its own, not the wrapper's.
        std::regex alone(expression, kSyntax);
        auto compiled = std::make_unique<Compiled>();
        compiled->expression.assign(".*(" + expression + ").*", kSyntax);
        compiled_ = std::move(compiled);
        return true;
    } catch (const std::regex_error& e) {
        // Valid, but its automaton is larger than the library allows.
        if (e.code() == std::regex_constants::error_space) throw std::bad_alloc();
        *error = e.what();
        return false;
    }
}

bool Pattern::Matches(const std::string& text) const {
    if (compiled_ == nullptr) return false;
    try {
        return std::regex_match(text, compiled_->expression);
    } catch (const std::regex_error& e) {
        if (e.code() == std::regex_constants::error_space) throw std::bad_alloc();
        return false;
    }
}

}  // namespace platform
