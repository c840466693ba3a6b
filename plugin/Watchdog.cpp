#include "plugin/Watchdog.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace plugin {

Watchdog::Watchdog(unsigned seconds, const char* prefix, int status) {
    try {
        thread_ = std::thread([this, seconds, prefix, status] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (wake_.wait_for(lock, std::chrono::seconds(seconds), [this] { return stopped_; })) return;
            // Still holding the lock: Stop() cannot return, so the check cannot write too.
            std::printf("%s%u s\n", prefix, seconds);
            std::fflush(stdout);
            std::_Exit(status);
        });
    } catch (const std::system_error&) {
        // No thread to be had (a process limit): the check still answers,
        // only unguarded; the engine's own timeout remains.
    }
}

void Watchdog::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

}  // namespace plugin
