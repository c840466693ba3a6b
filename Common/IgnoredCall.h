// Calls whose failure is reported and then ignored.
#pragma once

#include "Common/LogTrace.h"
#include "keel/Error.h"

namespace LogTrace {

// Runs `call`; a Keel::Error is traced as "<source> failed: [<message>] (ignored)."
// and then reported as an assertion on `quotedSource`; any other exception
// only as the assertion. Execution goes on in every case.
template <typename Call>
void CallIgnoringFailure(Call&& call, const char* source, const char* quotedSource, const char* file, int line) {
    try {
        call();
    } catch (const Keel::Error& e) {
        Trace("%s failed: [%s] (ignored).\n", source, e.Message());
        ReportAssertion(quotedSource, file, line);
    } catch (...) {
        ReportAssertion(quotedSource, file, line);
    }
}

}  // namespace LogTrace

// `source` must be a string literal: its quoted form is built at compile time.
#define LOGTRACE_IGNORE_FAILURE(source, file, line, call) \
    LogTrace::CallIgnoringFailure([&] { call; }, source, "\"" source "\"", file, line)
