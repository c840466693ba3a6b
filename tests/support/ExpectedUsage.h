// The usage screen as users see it: the oracle for end-to-end tests.
#pragma once

#include <string>

inline std::string ExpectedUsage(const std::string& version) {
    return "\n"
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
           "Version:          " +
           version +
           "\n"
           "\n"
           "Example:          > Trelmark64.exe 1521 3072 -vm\n"
           "                    - Checks if the process with ID 1521 is using more\n"
           "                      than 3 GB of memory.\n"
           "\n"
           "---------------------------------------------------------------------------\n"
           "Trelmark64 answers with its exit code; -v adds one sentence of explanation.\n"
           "Working memory is the resident set; virtual private memory is the private\n"
           "committed memory of the process. Sizes are whole megabytes (1 MB = 2^20 B).\n"
           "---------------------------------------------------------------------------\n"
           "\n";
}
