#include "windows/WindowsSecurity.h"

#include <string>

#include "Common/LogTrace.h"
#include "keel/Error.h"
#include "windows/WindowsError.h"
#include "windows/WindowsUtils2.h"

namespace Windows {

namespace {

[[noreturn]] void Fail(DWORD code, const char* expression, int line, const char* traceFormat, const char* privilege) {
    const std::string text = GetErrorText(code, true);
    LogTrace::ReportAssertion(expression, "WindowsSecurity", line);
    LogTrace::Trace(traceFormat, privilege, text.c_str());
    throw Keel::Error(text);
}

}  // namespace

// The trace formats are literals at each call so the compiler checks them.
// The line arguments are fixed report identifiers (see LogTrace::ReportAssertion).
#define PRIVILEGE_FAILURE(code, call, line)                                                               \
    Fail(code, "\"" call " failed!\"", line, "EnableProcessPrivilege: " call " failed for privilege [%s]: %s.\n", \
         privilege)

void EnableProcessPrivilege(const char* privilege, HANDLE process, bool enable) {
    if (process == nullptr) process = ::GetCurrentProcess();

    HANDLE token = nullptr;
    if (!::OpenProcessToken(process, TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        PRIVILEGE_FAILURE(::GetLastError(), "OpenProcessToken", 1007);
    }
    HandleSentry tokenSentry(token);

    LUID luid;
    if (!::LookupPrivilegeValueA(nullptr, privilege, &luid)) {
        PRIVILEGE_FAILURE(::GetLastError(), "LookupPrivilegeValue", 1021);
    }

    TOKEN_PRIVILEGES request;
    request.PrivilegeCount = 1;
    request.Privileges[0].Luid = luid;
    request.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;

    // The result says only that the call ran; whether the token holds the
    // privilege shows in the last error (ERROR_NOT_ALL_ASSIGNED).
    ::AdjustTokenPrivileges(token, FALSE, &request, 0, nullptr, nullptr);
    const DWORD error = ::GetLastError();
    if (error != ERROR_SUCCESS) PRIVILEGE_FAILURE(error, "AdjustTokenPrivileges", 1037);
}

#undef PRIVILEGE_FAILURE

}  // namespace Windows
