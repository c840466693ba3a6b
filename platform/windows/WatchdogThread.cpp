// The watchdog as a thread that waits for the timeout or for being disarmed.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/Watchdog.h"

namespace {

std::mutex mutex;
std::condition_variable wake;
bool disarmed = false;
std::thread watcher;

}  // namespace

namespace platform {

void ArmWatchdog(unsigned seconds, const char* prefix, int status) {
    try {
        watcher = std::thread([seconds, prefix, status] {
            std::unique_lock<std::mutex> lock(mutex);
            if (wake.wait_for(lock, std::chrono::seconds(seconds), [] { return disarmed; })) return;
            // Still holding the lock: DisarmWatchdog cannot return, so the program cannot write too.
            std::printf("%s%u s\n", prefix, seconds);
            std::fflush(stdout);
            std::_Exit(status);
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
