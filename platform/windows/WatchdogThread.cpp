// The watchdog as a thread that waits for the timeout or for being disarmed.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/TextFile.h"
#include "platform/Watchdog.h"
#include "platform/Win32.h"

namespace {

std::mutex mutex;
std::condition_variable wake;
bool disarmed = false;
std::thread watcher;
platform::WatchdogAnswer answer;

[[noreturn]] void Answer(const std::string& line, int status, const char* lineEnd = nullptr) {
    std::fwrite(line.data(), 1, line.size() - (lineEnd != nullptr && !line.empty() && line.back() == '\n'), stdout);
    if (lineEnd != nullptr) std::fputs(lineEnd, stdout);
    std::fflush(stdout);
    std::_Exit(status);
}

}  // namespace

namespace platform {

// The job's handle is kept open while the process runs in it.
bool BoundOwnMemory(size_t bytes) {
    HANDLE job = ::CreateJobObjectA(nullptr, nullptr);
    if (job == nullptr) return false;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PROCESS_MEMORY;
    limits.ProcessMemoryLimit = bytes;
    if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !::AssignProcessToJobObject(job, ::GetCurrentProcess())) {
        ::CloseHandle(job);
        return false;
    }
    return true;
}

void ArmWatchdog(unsigned seconds, WatchdogAnswer given) {
    answer = std::move(given);
    try {
        watcher = std::thread([seconds] {
            std::unique_lock<std::mutex> lock(mutex);
            if (wake.wait_for(lock, std::chrono::seconds(seconds), [] { return disarmed; })) return;
            // Still holding the lock: DisarmWatchdog cannot return, so the program cannot write too.
            if (answer.path != nullptr) {
                const FileFailure failure = ReplaceFileContent(answer.path, answer.temporary,
                                                               answer.content.data(), answer.content.size());
                if (failure.step != FileStep::None) Answer(answer.line, answer.unwrittenStatus, answer.unwritten);
            }
            Answer(answer.line, answer.status);
        });
    } catch (const std::system_error&) {
        // No thread to be had (a process limit): the program still answers,
        // only unguarded; the engine's own timeout remains.
    }
}

void DisarmWatchdog() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        disarmed = true;
    }
    wake.notify_one();
    if (watcher.joinable()) watcher.join();
}

}  // namespace platform
