// Starts programs as a user would and collects what they print (Linux).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

struct Result {
    int status = -1;  // exit status 0..255, or -1 when killed by a signal
    std::string out;
    std::string err;
};

// Where a program's standard output goes.
enum class Output {
    Captured,    // into Result::out
    BrokenPipe,  // a pipe whose reading end was closed before the program started
};

// Runs `argv` to completion with stdin closed; fails the test on spawn errors.
// Children start with SIGPIPE's default action, whatever the test runner's is.
Result Run(const std::vector<std::string>& argv, Output output = Output::Captured);

// A long-running child whose first line of output is its process id.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return pid_; }
    // Lets the child finish (closes its stdin) and reaps it.
    int Stop();

private:
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
};

// The first "Key:" line of a /proc file such as smaps_rollup in kB; -1 when absent.
long long ProcKilobytes(const std::string& path, const char* key);

// The "Key:" line of /proc/<pid>/status (of its thread `thread` when given)
// in kB; -1 when absent.
long long StatusKilobytes(pid_t pid, const char* key, pid_t thread = 0);

// A thread of process `pid` other than its main one; -1 when there is none.
pid_t OtherThread(pid_t pid);

// The test process's open descriptors (the count includes the listing's own).
int OpenDescriptors();

}  // namespace testsupport
