// Diagnostic trace lines and assertion reports.
//
// Everything goes through one sink that writes only when a log file has been
// named. The check names none, so its traces are formatted and dropped;
// tests name one to observe them.
#pragma once

#include <cstddef>
#include <string>

#include "platform/Win32.h"

namespace LogTrace {

extern bool TraceEnabled;

// The process-wide log file name; empty means "no log".
std::string& LogFileName();

// printf-style; the text is cut to 4095 characters. Never throws.
void Trace(const char* format, ...) TRELMARK_PRINTF(1, 2);

// One trace line naming the file, line and failed expression. Never stops
// the program. Trelmark64's reports pass fixed `file` and `line` values that
// log readers match on: they identify the report, not the source, and must
// not follow the code when it moves.
void ReportAssertion(const char* expression, const char* file, int line);

// `length` of SIZE_MAX means "up to the terminating NUL".
void Write(const char* text, size_t length);

}  // namespace LogTrace
