#include "windows/WindowsUtils2.h"

#include "Common/LogTrace.h"
#include "windows/WindowsError.h"

namespace Windows {

bool IsValidHandle(HANDLE handle) {
    if (handle == nullptr) return false;
    DWORD flags = 0;
    return ::GetHandleInformation(handle, &flags) != FALSE;
}

bool CloseHandle(HANDLE handle) {
    if (handle == nullptr) return false;
    if (::CloseHandle(handle)) return true;
    const std::string text = GetLastErrorText(true);
    // 33 is a fixed report identifier (see LogTrace::ReportAssertion).
    LogTrace::ReportAssertion("\"CloseHandle() failed!\"", "WindowsUtils2", 33);
    LogTrace::Trace("CloseHandle: ::CloseHandle failed: [%s].\n", text.c_str());
    return false;
}

void HandleSentry::ReleaseValue(HANDLE& handle) {
    // A handle closed elsewhere is skipped, not closed twice.
    if (IsValidHandle(handle)) CloseHandle(handle);
}

HandleSentry::~HandleSentry() {
    if (owns) {
        HandleSentry::ReleaseValue(value);  // the derived part is still alive here
        value = nullptr;
    }
}

}  // namespace Windows
