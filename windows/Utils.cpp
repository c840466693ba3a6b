#include "windows/Utils.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "Common/LogTrace.h"

std::string FormatNumber(uint64_t value, bool separators) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%" PRIu64, value);
    if (!separators || value < 1000) return digits;

    const size_t n = std::strlen(digits);
    const size_t n2 = n + (n - 1) / 3;
    char formattedBuf[32];
    formattedBuf[n2] = '\0';
    size_t out = n2;
    for (size_t i = 0; i < n; ++i) {
        // i counts digits from the right, 0-based: a comma precedes positions 4, 7, ...
        if (i > 0 && i % 3 == 0) formattedBuf[--out] = ',';
        formattedBuf[--out] = digits[n - 1 - i];
    }
    // 183 is a fixed report identifier (see LogTrace::ReportAssertion).
    if (std::strlen(formattedBuf) != n2) LogTrace::ReportAssertion("strlen(formattedBuf) == n2", "Utils", 183);
    return formattedBuf;
}
