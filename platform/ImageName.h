// How the system's name for a process image is matched against a name a
// user gives: each system has its own habit, which its users expect.
#pragma once

#include <cstring>

#include "Common/Ascii.h"

namespace platform {

// No; yes; or the system keeps only the start of names this long, and the
// full name (FullImageNameIs in ProcessQuery.h) decides.
enum class NameMatch { No, Yes, Prefix };

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

inline NameMatch MatchImageName(const char* image, const char* wanted) {
    return ImageNameMatches(image, wanted) ? NameMatch::Yes : NameMatch::No;
}

// Why `wanted` can never match, or nullptr.
inline const char* ImageNameProblem(const char* wanted) {
    return wanted[0] == '\0' ? "the process name is empty" : nullptr;
}

#else

// Linux: the command name exactly, as pgrep -x and ps -o comm= see it. The
// kernel keeps its first 15 bytes: a longer name matches a process whose
// command name is its start and whose executable or argv[0] has that name.
constexpr size_t kCommandNameBytes = 15;

inline NameMatch MatchImageName(const char* image, const char* wanted) {
    if (std::strlen(wanted) <= kCommandNameBytes) return std::strcmp(image, wanted) == 0 ? NameMatch::Yes : NameMatch::No;
    return std::strlen(image) == kCommandNameBytes && std::strncmp(image, wanted, kCommandNameBytes) == 0
               ? NameMatch::Prefix
               : NameMatch::No;
}

inline const char* ImageNameProblem(const char* wanted) {
    return wanted[0] == '\0' ? "the process name is empty" : nullptr;
}

#endif

}  // namespace platform
