#include "plugin/Watchdog.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace plugin {

Watchdog::Watchdog(unsigned seconds, std::string line, int status) {
    thread_ = std::thread([this, seconds, line = std::move(line), status] {
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_for(lock, std::chrono::seconds(seconds), [this] { return stopped_; })) return;
        // Still holding the lock: Stop() cannot return, so the check cannot write too.
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
        std::_Exit(status);
    });
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
