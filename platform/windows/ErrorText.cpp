#include "platform/ErrorText.h"

#include <cstdio>
#include <cstring>

namespace platform {

std::string ErrorText(DWORD code) {
    char buffer[1024];
    std::memset(buffer, 0, sizeof buffer);
    const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                          MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer - 1, nullptr);
    if (length == 0) {
        std::snprintf(buffer, sizeof buffer, "Unknown error (0x%x)", static_cast<unsigned>(code));
        return buffer;
    }
    // Exactly one CR LF and then one period, as Trelmark64 trims them.
    size_t n = std::strlen(buffer);
    if (n >= 2 && buffer[n - 2] == '\r' && buffer[n - 1] == '\n') buffer[n -= 2] = '\0';
    if (n >= 1 && buffer[n - 1] == '.') buffer[n - 1] = '\0';
    return buffer;
}

std::string LastErrorText() { return ErrorText(::GetLastError()); }

}  // namespace platform
