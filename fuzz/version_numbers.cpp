// The version-number scan against sscanf itself, wherever sscanf's result
// is defined (every number fits an int).
#include <cstdint>
#include <cstdio>
#include <string>

#include "windows/Contrib/FileVersion/FileVersion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);  // stops at the first NUL for both
    WORD a = 0, b = 0, c = 0, d = 0;
    const bool ok = CFileVersion::GetVersionNumbers(text.c_str(), a, b, c, d);

    size_t run = 0;
    for (char ch : text) {
        run = (ch >= '0' && ch <= '9') ? run + 1 : 0;
        if (run > 9) return 0;  // sscanf's %d is undefined beyond int
    }
    int n[4];
    const bool reference = std::sscanf(text.c_str(), "%d, %d, %d, %d", &n[0], &n[1], &n[2], &n[3]) == 4;
    if (ok != reference) __builtin_trap();
    if (ok && (a != static_cast<WORD>(n[0]) || b != static_cast<WORD>(n[1]) || c != static_cast<WORD>(n[2]) ||
               d != static_cast<WORD>(n[3]))) {
        __builtin_trap();
    }
    return 0;
}
