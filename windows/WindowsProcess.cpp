#include "windows/WindowsProcess.h"

#include <cstring>
#include <string>

#include "Common/LogTrace.h"
#include "keel/Error.h"
#include "windows/WindowsError.h"

namespace Windows {

namespace {

double Megabytes(SIZE_T bytes) { return static_cast<double>(static_cast<unsigned long long>(bytes)) / 1048576.0; }

}  // namespace

void GetProcessMemoryCounters(HANDLE hProcess, double* workingSet, double* peakWorkingSet, double* pagefileUsage,
                              double* peakPagefileUsage, double* privateUsage) {
    // A NULL handle is reported, and the system then refuses it with its own error.
    // 2193 and 2201 are fixed report identifiers (see LogTrace::ReportAssertion).
    if (hProcess == nullptr) LogTrace::ReportAssertion("hProcess != NULL", "WindowsProcess", 2193);

    PROCESS_MEMORY_COUNTERS_EX counters;
    std::memset(&counters, 0, sizeof counters);
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
        const DWORD error = ::GetLastError();
        LogTrace::ReportAssertion("\"Unable to get process memory information\"", "WindowsProcess", 2201);
        throw Keel::Error(GetErrorText(error, true));
    }

    *workingSet = Megabytes(counters.WorkingSetSize);
    *peakWorkingSet = Megabytes(counters.PeakWorkingSetSize);
    if (pagefileUsage != nullptr) *pagefileUsage = Megabytes(counters.PagefileUsage);
    if (peakPagefileUsage != nullptr) *peakPagefileUsage = Megabytes(counters.PeakPagefileUsage);
    if (privateUsage != nullptr) *privateUsage = Megabytes(counters.PrivateUsage);
}

}  // namespace Windows
