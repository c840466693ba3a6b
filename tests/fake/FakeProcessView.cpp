// The platform's own calls beside the Win32 subset, unscripted: the plugin's
// list tests never reach them.
#include "platform/ProcessMemory.h"
#include "platform/ProcessView.h"

namespace platform {

BOOL GetProcessProportionalSetSize(HANDLE, uint64_t*) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

FileProblem ReadRegularFile(const char*, char*, size_t, size_t*, std::string* reason) {
    *reason = "not scripted";
    return FileProblem::Unreadable;
}

}  // namespace platform
