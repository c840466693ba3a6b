// Bounds a check's run time: after the timeout the watchdog answers in the
// check's place and ends the process, unless the check has answered first.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace plugin {

class Watchdog {
public:
    // After `seconds`, writes "<prefix><seconds> s\n" to standard output and
    // exits with `status`.
    Watchdog(unsigned seconds, const char* prefix, int status);
    ~Watchdog() { Stop(); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Once this returns, the watchdog writes nothing; it may not return at
    // all when the watchdog is answering at that moment.
    void Stop();

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopped_ = false;
    std::thread thread_;
};

}  // namespace plugin
