// The Linux layer's privileges and tokens: the debug privilege is
// CAP_SYS_PTRACE.
#include <gtest/gtest.h>
#include <sys/capability.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <string>

#include "keel/Error.h"
#include "platform/Win32.h"
#include "platform/linux/Internal.h"
#include "tests/support/Subprocess.h"
#include "windows/WindowsSecurity.h"

namespace {

const std::string kMemhog = TRELMARK_MEMHOG;

bool HoldsPtraceInPermittedSet() {
    cap_t caps = cap_get_proc();
    cap_flag_value_t value = CAP_CLEAR;
    cap_get_flag(caps, CAP_SYS_PTRACE, CAP_PERMITTED, &value);
    cap_free(caps);
    return value == CAP_SET;
}

// Runs EnableProcessPrivilege in a child (so the test's own token is left
// alone), optionally as the unprivileged user 65534, and returns its last
// error: 0 for success, the Windows code of the failure otherwise.
int PrivilegeResultInChild(bool unprivileged, const char* name) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (unprivileged && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                             setresuid(65534, 65534, 65534) != 0)) {
            _exit(250);
        }
        try {
            Windows::EnableProcessPrivilege(name, nullptr, true);
        } catch (const Keel::Error&) {
            _exit(GetLastError() == ERROR_NOT_ALL_ASSIGNED ? 13 : GetLastError() == ERROR_NO_SUCH_PRIVILEGE ? 14 : 15);
        }
        _exit(0);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

TEST(Privilege, DebugPrivilegeFollowsCapSysPtrace) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to compare a privileged and an unprivileged token";
    const int before = linuxapi::LiveObjectCount();
    EXPECT_EQ(PrivilegeResultInChild(false, "SeDebugPrivilege"), HoldsPtraceInPermittedSet() ? 0 : 13);
    EXPECT_EQ(PrivilegeResultInChild(true, "SeDebugPrivilege"), 13);  // held by nobody: not all assigned
    EXPECT_EQ(PrivilegeResultInChild(false, "SeNoSuchPrivilege"), 14);
    EXPECT_EQ(PrivilegeResultInChild(false, "SeShutdownPrivilege"), 13);  // no Linux counterpart
    EXPECT_EQ(linuxapi::LiveObjectCount(), before);
}

TEST(Privilege, TokensExistOnlyForTheCallingProcess) {
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    EXPECT_TRUE(CloseHandle(token));

    testsupport::Child other({kMemhog, "1", "reserve"});
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(other.Pid()));
    ASSERT_NE(process, nullptr);
    SetLastError(0);
    EXPECT_FALSE(OpenProcessToken(process, TOKEN_QUERY, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(process);

    LUID luid{};
    EXPECT_TRUE(LookupPrivilegeValueA(nullptr, "sedebugprivilege", &luid));
    EXPECT_EQ(luid.LowPart, 20u);
}

TEST(Privilege, DisablingAndEnablingChangesTheEffectiveSet) {
    if (!HoldsPtraceInPermittedSet()) GTEST_SKIP() << "CAP_SYS_PTRACE is not permitted here";
    const pid_t pid = fork();
    if (pid == 0) {
        auto effective = [] {
            cap_t caps = cap_get_proc();
            cap_flag_value_t value = CAP_CLEAR;
            cap_get_flag(caps, CAP_SYS_PTRACE, CAP_EFFECTIVE, &value);
            cap_free(caps);
            return value == CAP_SET;
        };
        Windows::EnableProcessPrivilege("SeDebugPrivilege", nullptr, false);
        const bool off = !effective();
        Windows::EnableProcessPrivilege("SeDebugPrivilege", nullptr, true);
        _exit(off && effective() ? 0 : 1);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);
}

}  // namespace
