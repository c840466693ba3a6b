#include "Common/LogTrace.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace LogTrace {

bool TraceEnabled = true;

std::string& LogFileName() {
    static std::string name;  // built on first use, not at start-up
    return name;
}

void Trace(const char* format, ...) {
    try {
        char buffer[4096];
        std::memset(buffer, 0, sizeof buffer);
        va_list args;
        va_start(args, format);
        // At most 4095 characters; the last byte stays NUL.
        std::vsnprintf(buffer, sizeof buffer, format, args);
        va_end(args);
        Write(buffer, SIZE_MAX);
    } catch (...) {
        // A trace must never change what the caller does.
    }
}

void ReportAssertion(const char* expression, const char* file, int line) {
    Trace("**** ASSERT FAILED **** [ File %s, Line %d ]\n\t[ Expression = %s ]\n", file, line, expression);
}

void Write(const char* text, size_t length) {
    if (!TraceEnabled) return;
    const std::string& name = LogFileName();
    if (name.empty()) return;
    if (text == nullptr || text[0] == '\0') return;

    if (length == SIZE_MAX) length = std::strlen(text);
    // Append and close at once, so a crash later loses nothing written here.
    std::FILE* file = std::fopen(name.c_str(), "ab");
    if (file == nullptr) return;
    std::fwrite(text, 1, length, file);
    std::fclose(file);
}

}  // namespace LogTrace
