// How the system's name for a process image is matched against a name a
// user gives: each system has its own habit, which its users expect.
#pragma once

#include <cstring>

#include "Common/Ascii.h"

namespace platform {

#ifdef _WIN32

inline bool EqualIgnoringCase(const char* a, const char* b, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (Ascii::ToLower(a[i]) != Ascii::ToLower(b[i])) return false;
    }
    return true;
}

// Windows: file names ignore case, and ".exe" may be left out ("postgres"
// matches "postgres.exe").
inline bool ImageNameMatches(const char* image, const char* wanted) {
    const size_t imageLength = std::strlen(image);
    const size_t wantedLength = std::strlen(wanted);
    if (imageLength == wantedLength) return EqualIgnoringCase(image, wanted, imageLength);
    return imageLength == wantedLength + 4 && EqualIgnoringCase(image, wanted, wantedLength) &&
           EqualIgnoringCase(image + wantedLength, ".exe", 4);
}

// Why `wanted` can never match, or nullptr.
inline const char* ImageNameProblem(const char* wanted) {
    return wanted[0] == '\0' ? "the process name is empty" : nullptr;
}

#else

// Linux: the command name exactly, as pgrep -x and ps -o comm= see it.
inline bool ImageNameMatches(const char* image, const char* wanted) { return std::strcmp(image, wanted) == 0; }

// The kernel keeps 15 bytes of a command name: a longer one never matches.
inline const char* ImageNameProblem(const char* wanted) {
    if (wanted[0] == '\0') return "the process name is empty";
    if (std::strlen(wanted) > 15) return "Linux command names are at most 15 characters (see ps -o comm=)";
    return nullptr;
}

#endif

}  // namespace platform
