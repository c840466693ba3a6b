// advapi32 over Linux: access tokens and privileges.
//
// A token exists only for the calling process. Windows privileges map to
// Linux capabilities: SeDebugPrivilege is CAP_SYS_PTRACE, the right to
// inspect other users' processes. Enabling raises the capability in the
// effective set when the permitted set holds it; otherwise the privilege is
// "not held", reported as Windows does: success with ERROR_NOT_ALL_ASSIGNED.
#include <strings.h>
#include <sys/capability.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Win32.h"
#include "platform/linux/Internal.h"

namespace {

struct Privilege {
    const char* name;
    DWORD luid;
    int capability;  // -1: no Linux counterpart, never held
};

// Windows' well-known privilege names and their local identifiers.
const Privilege kPrivileges[] = {
    {"SeCreateTokenPrivilege", 2, -1},
    {"SeAssignPrimaryTokenPrivilege", 3, -1},
    {"SeLockMemoryPrivilege", 4, -1},
    {"SeIncreaseQuotaPrivilege", 5, -1},
    {"SeMachineAccountPrivilege", 6, -1},
    {"SeTcbPrivilege", 7, -1},
    {"SeSecurityPrivilege", 8, -1},
    {"SeTakeOwnershipPrivilege", 9, -1},
    {"SeLoadDriverPrivilege", 10, -1},
    {"SeSystemProfilePrivilege", 11, -1},
    {"SeSystemtimePrivilege", 12, -1},
    {"SeProfileSingleProcessPrivilege", 13, -1},
    {"SeIncreaseBasePriorityPrivilege", 14, -1},
    {"SeCreatePagefilePrivilege", 15, -1},
    {"SeCreatePermanentPrivilege", 16, -1},
    {"SeBackupPrivilege", 17, -1},
    {"SeRestorePrivilege", 18, -1},
    {"SeShutdownPrivilege", 19, -1},
    {"SeDebugPrivilege", 20, CAP_SYS_PTRACE},
    {"SeAuditPrivilege", 21, -1},
    {"SeSystemEnvironmentPrivilege", 22, -1},
    {"SeChangeNotifyPrivilege", 23, -1},
    {"SeRemoteShutdownPrivilege", 24, -1},
    {"SeUndockPrivilege", 25, -1},
    {"SeSyncAgentPrivilege", 26, -1},
    {"SeEnableDelegationPrivilege", 27, -1},
    {"SeManageVolumePrivilege", 28, -1},
    {"SeImpersonatePrivilege", 29, -1},
    {"SeCreateGlobalPrivilege", 30, -1},
    {"SeTrustedCredManAccessPrivilege", 31, -1},
    {"SeRelabelPrivilege", 32, -1},
    {"SeIncreaseWorkingSetPrivilege", 33, -1},
    {"SeTimeZonePrivilege", 34, -1},
    {"SeCreateSymbolicLinkPrivilege", 35, -1},
    {"SeDelegateSessionUserImpersonatePrivilege", 36, -1},
};

int CapabilityOf(const LUID& luid) {
    if (luid.HighPart != 0) return -1;
    for (const Privilege& p : kPrivileges) {
        if (p.luid == luid.LowPart) return p.capability;
    }
    return -1;
}

bool HasFlag(cap_t caps, int capability, cap_flag_t set) {
    cap_flag_value_t value = CAP_CLEAR;
    return capability >= 0 && cap_get_flag(caps, capability, set, &value) == 0 && value == CAP_SET;
}

}  // namespace

extern "C" {

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD, PHANDLE TokenHandle) {
    if (TokenHandle == nullptr) return linuxapi::Fail(ERROR_NOACCESS);
    pid_t self = getpid();
    if (ProcessHandle != linuxapi::CurrentProcessPseudoHandle()) {
        linuxapi::KernelObject object;
        if (!linuxapi::LookupObject(ProcessHandle, linuxapi::ObjectKind::Process, &object)) {
            return linuxapi::Fail(ERROR_INVALID_HANDLE);
        }
        if (object.pid != self) return linuxapi::Fail(ERROR_ACCESS_DENIED);  // other processes' tokens are out of reach
    }
    HANDLE token = linuxapi::InsertObject(linuxapi::ObjectKind::Token, -1, -1, self);
    if (token == nullptr) return FALSE;
    *TokenHandle = token;
    return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
    if (lpSystemName != nullptr && lpSystemName[0] != '\0') return linuxapi::Fail(ERROR_NOT_SUPPORTED);
    if (lpName == nullptr || lpLuid == nullptr) return linuxapi::Fail(ERROR_INVALID_PARAMETER);
    const size_t length = std::strlen(lpName);
    for (const Privilege& p : kPrivileges) {
        if (std::strlen(p.name) == length && strcasecmp(p.name, lpName) == 0) {
            lpLuid->LowPart = p.luid;
            lpLuid->HighPart = 0;
            return TRUE;
        }
    }
    return linuxapi::Fail(ERROR_NO_SUCH_PRIVILEGE);
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState, DWORD,
                           PTOKEN_PRIVILEGES PreviousState, PDWORD) {
    linuxapi::KernelObject token;
    if (!linuxapi::LookupObject(TokenHandle, linuxapi::ObjectKind::Token, &token)) return linuxapi::Fail(ERROR_INVALID_HANDLE);
    if (!DisableAllPrivileges && NewState == nullptr) return linuxapi::Fail(ERROR_INVALID_PARAMETER);
    // Nothing here asks for the previous state; refuse rather than pretend.
    if (PreviousState != nullptr) return linuxapi::Fail(ERROR_NOT_SUPPORTED);

    cap_t caps = cap_get_proc();
    if (caps == nullptr) return linuxapi::FailWithErrno(errno);

    // Every privilege this layer knows how to hold, when all are to be dropped.
    TOKEN_PRIVILEGES dropAll = {1, {{{20, 0}, 0}}};
    const TOKEN_PRIVILEGES& request = DisableAllPrivileges ? dropAll : *NewState;

    bool changed = false;
    bool allAssigned = true;
    for (DWORD i = 0; i < request.PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& entry = request.Privileges[i];
        const int capability = CapabilityOf(entry.Luid);
        const bool enable = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        if (capability < 0 || (enable && !HasFlag(caps, capability, CAP_PERMITTED))) {
            allAssigned = false;
            continue;
        }
        if (HasFlag(caps, capability, CAP_EFFECTIVE) == enable) continue;
        cap_value_t value = capability;
        cap_set_flag(caps, CAP_EFFECTIVE, 1, &value, enable ? CAP_SET : CAP_CLEAR);
        changed = true;
    }

    const int result = changed ? cap_set_proc(caps) : 0;
    const int error = errno;
    cap_free(caps);
    if (result != 0) return linuxapi::FailWithErrno(error);
    SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

}  // extern "C"
