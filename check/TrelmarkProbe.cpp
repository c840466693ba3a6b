// Trelmark64: does a process use more than a given amount of memory?
// Exit code 0 (no), 1 (yes) or -1 (the check cannot be made).
#include "check/TrelmarkProbe.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Common/Ascii.h"
#include "Common/IgnoredCall.h"
#include "Common/LogTrace.h"
#include "check/VersionText.h"
#include "keel/Error.h"
#include "platform/Win32.h"
#include "windows/Utils.h"
#include "windows/WindowsError.h"
#include "windows/WindowsProcess.h"
#include "windows/WindowsSecurity.h"
#include "windows/WindowsUtils2.h"

namespace {

bool EqualsIgnoringCase(const char* text, const char* lower) {
    for (; *text != '\0' && *lower != '\0'; ++text, ++lower) {
        if (Ascii::ToLower(*text) != *lower) return false;
    }
    return *text == *lower;
}

const char kUsage[] =
    "\n"
    "Trelmark64\n"
    "==========\n"
    "\n"
    "Synopsis: Checks if the given process is using more than a given\n"
    "          amount of memory.\n"
    "\n"
    "Usage:    Trelmark64.exe <process-id> <size> [-vm] [-v]\n"
    "\n"
    "Options:\n"
    "    <process-id>  The identifier of the process to be checked.\n"
    "    <size>        The memory threshold, in MB.\n"
    "    -vm           Check the virtual memory instead of the working memory,\n"
    "                  specifically the virtual private memory.\n"
    "    -v            Produce verbose output (optional).\n"
    "\n"
    "Exit code:        0 if the process is using less than or equal to the\n"
    "                    given amount of memory.\n"
    "                  1 if the process is using more than the given amount\n"
    "                    of memory.\n"
    "                 -1 if a failure occurs (process not found, etc.)\n"
    "\n"
    "Version:          %s\n"
    "\n"
    "Example:          > Trelmark64.exe 1521 3072 -vm\n"
    "                    - Checks if the process with ID 1521 is using more\n"
    "                      than 3 GB of memory.\n";

const char kFooter[] =
    "\n"
    "---------------------------------------------------------------------------\n"
    "Trelmark64 answers with its exit code; -v adds one sentence of explanation.\n"
    "Working memory is the resident set; virtual private memory is the private\n"
    "committed memory of the process. Sizes are whole megabytes (1 MB = 2^20 B).\n"
    "---------------------------------------------------------------------------\n"
    "\n";

// Prints a message that ends the check, then the usage screen.
int FailCheck(const char* message) {
    std::printf("\n%s.\n\n", message);
    PrintUsage();
    return -1;
}

}  // namespace

int ConvertDecimal(const char* text) {
    const char* p = text;
    while (Ascii::IsSpace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    // Accumulate the magnitude with a ceiling, so overlong digit runs saturate.
    const long long limit = negative ? 2147483648LL : 2147483647LL;
    long long magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit) magnitude = limit;
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}

void ParseArguments(DWORD& processId, int& threshold, bool& virtualMemory, bool& verbose) {
    if (__argc < 3) throw Keel::Error("Too few arguments");

    processId = static_cast<DWORD>(ConvertDecimal(__argv[1]));
    if (processId == 0) throw Keel::Error(std::string("Process identifier \"") + __argv[1] + "\" is not valid");

    threshold = ConvertDecimal(__argv[2]);
    if (threshold < 1) throw Keel::Error(std::string("VM size \"") + __argv[2] + "\" is not valid");

    virtualMemory = false;
    verbose = false;
    for (int i = 3; i < __argc; ++i) {
        if (EqualsIgnoringCase(__argv[i], "-vm")) {
            virtualMemory = true;
        } else if (EqualsIgnoringCase(__argv[i], "-v")) {
            verbose = true;
        }
    }
}

void PrintUsage() {
    bool unreadable = false;
    const std::string version = check::OwnVersionText(&unreadable);
    if (unreadable) {
        LogTrace::ReportAssertion("\"CFileVersion::GetVersionNumbers() failed!\"", "TrelmarkProbe", 68);
    }
    std::printf(kUsage, version.c_str());
    std::printf("%s", kFooter);
}

int RunCheck() {
    DWORD processId = 0;
    int threshold = 0;
    bool virtualMemory = false;
    bool verbose = false;
    try {
        ParseArguments(processId, threshold, virtualMemory, verbose);
    } catch (const Keel::Error& e) {
        return FailCheck(e.Message());
    }

    // Without the debug privilege, processes of other users may be out of
    // reach; the check still goes on for those that can be opened.
    // "TrelmarkProbe", 137 and 145 below (and 68 above) are fixed report
    // identifiers, not line numbers of this file (see LogTrace::ReportAssertion).
    LOGTRACE_IGNORE_FAILURE("Windows::EnableProcessPrivilege(SE_DEBUG_NAME)", "TrelmarkProbe", 137,
                            Windows::EnableProcessPrivilege(SE_DEBUG_NAME, nullptr, true));

    HANDLE process = ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == nullptr) {
        const DWORD error = ::GetLastError();
        const std::string message = "Unable to access the process with identifier " + FormatNumber(processId, false) +
                                    ": " + Windows::GetErrorText(error, true);
        LogTrace::ReportAssertion("\"OpenProcess() failed!\"", "TrelmarkProbe", 145);
        return FailCheck(message.c_str());
    }
    Windows::HandleSentry processSentry(process);

    double workingSet = 0, peakWorkingSet = 0, privateUsage = 0;
    try {
        Windows::GetProcessMemoryCounters(process, &workingSet, &peakWorkingSet, nullptr, nullptr, &privateUsage);
    } catch (const Keel::Error& e) {
        return FailCheck(e.Message());
    }

    const double chosen = virtualMemory ? privateUsage : workingSet;
    // Truncated, never rounded; sizes beyond the 32-bit range saturate
    // instead of wrapping into a wrong verdict.
    const int measured = chosen >= 2147483647.0 ? 2147483647 : static_cast<int>(chosen);
    const char* kind = virtualMemory ? "virtual " : "";
    if (measured > threshold) {
        if (verbose) {
            std::printf("\nProcess %d is using %d MB of %smemory, which is more than the the threshold of %d MB.\n",
                        static_cast<int>(processId), measured, kind, threshold);
        }
        return 1;
    }
    if (verbose) {
        std::printf("\nProcess %d is using %d MB of %smemory, which is NOT more than the the threshold of %d MB.\n",
                    static_cast<int>(processId), measured, kind, threshold);
    }
    return 0;
}

int main(int, char**) {
    LPSTR commandLine = ::GetCommandLineA();
    HMODULE module = ::GetModuleHandleA(nullptr);
    if (!AfxWinInit(module, nullptr, commandLine, 0)) {
        std::printf("Fatal Error: MFC initialization failed\n");
        return -1;
    }
    return RunCheck();
}
