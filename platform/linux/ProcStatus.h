// Parser of /proc/<pid>/status for the few memory lines the counters need.
// It takes the text in pieces of any size, keeps no copy of it, and treats
// every byte as untrusted.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

namespace linuxapi {

struct ProcStatusCounters {
    uint64_t residentBytes = 0;      // VmRSS
    uint64_t peakResidentBytes = 0;  // VmHWM
    uint64_t dataBytes = 0;          // VmData
    uint64_t stackBytes = 0;         // VmStk
};

class ProcStatusParser {
public:
    void Feed(const char* data, size_t size);
    // True once every wanted line has been read: the rest need not be.
    bool Complete() const { return seen_ == kAllFields; }
    // True once any wanted line has been read: only a task with an address
    // space has them (not a zombie, a kernel thread or an exited leader).
    bool Found() const { return seen_ != 0; }
    // Ends the text. False when a wanted line was malformed or overflowed;
    // lines that never came (kernel threads, zombies) leave zeros.
    bool Finish(ProcStatusCounters* counters);

private:
    enum class State : unsigned char { Key, Value, Unit, Skip };
    enum Field : unsigned { kRss = 1, kHwm = 2, kData = 4, kStk = 8, kAllFields = 15 };

    void StartValue();
    void EndLine();

    State state_ = State::Key;
    char key_[8] = {};
    unsigned keyLength_ = 0;
    unsigned field_ = 0;
    uint64_t value_ = 0;
    unsigned digits_ = 0;
    unsigned unitLength_ = 0;
    bool malformed_ = false;
    unsigned seen_ = 0;
    uint64_t kilobytes_[4] = {};
};

// Ids beyond this name no process (Linux stays below 2^22).
constexpr uint64_t kMaxProcessId = 0x3FFFFFFF;

// The process id on the first "Tgid:" line of `size` bytes of status text;
// false when that line is missing, cut short, malformed or out of range.
bool FindStatusTgid(const char* text, size_t size, pid_t* tgid);

}  // namespace linuxapi
