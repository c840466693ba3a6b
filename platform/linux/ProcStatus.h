// Parsers of the /proc files the counters come from (the "Key: <n> kB" lines
// of /proc/<pid>/status and /proc/<pid>/smaps_rollup, taken in pieces of any
// size, no copy kept) and of the other files a selection reads (stat,
// cgroup.procs, /etc/passwd). Every byte is untrusted.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

namespace linuxapi {

// The first line of each wanted key, "Key:", blanks, decimal digits, one
// blank and "kB"; other lines are skipped whatever they hold.
class KilobyteLineParser {
public:
    static constexpr unsigned kMaxKeys = 6;
    static constexpr unsigned kMaxKeyLength = 15;

    void Feed(const char* data, size_t size) { FeedLines<false>(data, size); }
    // True once every wanted line has been read: the rest need not be.
    bool Complete() const { return seen_ == all_; }
    // True once any wanted line has been read.
    bool Found() const { return seen_ != 0; }

protected:
    // `keys`: at most kMaxKeys names of at most kMaxKeyLength bytes, which
    // must outlive the parser.
    KilobyteLineParser(const char* const* keys, unsigned count);
    // Ends the text and writes each key's value in bytes, in the order of
    // `keys`. False when a wanted line was malformed or overflowed; lines
    // that never came leave zeros.
    bool FinishBytes(uint64_t* bytes);
    // For keys of exactly two first letters (RssAnon beside the Vm lines):
    // Feed that passes over the lines that start with neither. The parsers
    // of such keys feed through it, so that the others' Feed stays as it is.
    void FeedByTwoFirsts(const char* data, size_t size) { FeedLines<true>(data, size); }

private:
    enum class State : unsigned char { Key, Value, Unit, Skip };

    template <bool kTwoFirsts>
    void FeedLines(const char* data, size_t size);

    // Inlined into each Feed, which saves a call for each line that may
    // hold a key (the compiler would keep it apart for its size).
    [[gnu::always_inline]] inline void TakeLine(const char* line, const char* newline);
    void NarrowKeys(char c);
    void StartValue();
    void EndLine();

    const char* const* keys_;
    unsigned count_;
    unsigned all_;
    unsigned char lengths_[kMaxKeys] = {};
    char firsts_[kMaxKeys] = {};  // each key's first byte
    bool oneFirst_ = true;        // all keys start with the same one
    uint64_t heads_[kMaxKeys] = {};  // each key's first 8 bytes, zeros after its end
    uint64_t masks_[kMaxKeys] = {};  // ones over those of the key
    unsigned candidates_;  // the wanted keys the line's key so far starts
    State state_ = State::Key;
    unsigned keyLength_ = 0;
    unsigned field_ = 0;  // index + 1 of the key whose value is being read
    uint64_t value_ = 0;
    unsigned digits_ = 0;
    unsigned unitLength_ = 0;
    bool malformed_ = false;
    unsigned seen_ = 0;
    uint64_t kilobytes_[kMaxKeys] = {};
};

struct ProcStatusCounters {
    uint64_t residentBytes = 0;      // VmRSS
    uint64_t peakResidentBytes = 0;  // VmHWM
    uint64_t dataBytes = 0;          // VmData
    uint64_t stackBytes = 0;         // VmStk
};

// /proc/<pid>/status. Only a task with an address space has the wanted
// lines (not a zombie, a kernel thread or an exited leader): see Found.
class ProcStatusParser : public KilobyteLineParser {
public:
    ProcStatusParser();
    bool Finish(ProcStatusCounters* counters);
};

struct ProcStatusAnonSwap {
    uint64_t anonymousBytes = 0;  // RssAnon: resident anonymous memory
    uint64_t swapBytes = 0;       // VmSwap: swapped out
};

// The same file's anonymous and swap lines, read only for -m anon and swap.
class ProcStatusAnonSwapParser : public KilobyteLineParser {
public:
    ProcStatusAnonSwapParser();
    void Feed(const char* data, size_t size) { FeedByTwoFirsts(data, size); }
    bool Finish(ProcStatusAnonSwap* counters);
};

// Both sets of lines in one pass, for a check that reports every figure.
struct ProcStatusAll {
    ProcStatusCounters counters;
    ProcStatusAnonSwap anonSwap;
};

class ProcStatusAllParser : public KilobyteLineParser {
public:
    ProcStatusAllParser();
    void Feed(const char* data, size_t size) { FeedByTwoFirsts(data, size); }
    bool Finish(ProcStatusAll* all);
};

// The "Key: <n> kB" line of /proc/meminfo text in bytes (MemTotal, the
// physical memory the kernel manages, is its first line): found by a plain
// search, as a share of it is the only reason to read the file. False when
// the line is missing, cut short, malformed or overflows.
bool FindMemInfoBytes(const char* text, size_t size, const char* key, uint64_t* bytes);

struct SmapsRollupCounters {
    uint64_t proportionalBytes = 0;  // Pss
    uint64_t privateCleanBytes = 0;  // Private_Clean
    uint64_t privateDirtyBytes = 0;  // Private_Dirty
};

// /proc/<pid>/smaps_rollup: the sums over every mapping that the kernel
// walks the page tables for when the file is read.
class SmapsRollupParser : public KilobyteLineParser {
public:
    SmapsRollupParser();
    bool Finish(SmapsRollupCounters* counters);
};

// Ids beyond this name no process (Linux stays below 2^22).
constexpr uint64_t kMaxProcessId = 0x3FFFFFFF;

// The process id on the first "Tgid:" line of `size` bytes of status text;
// false when that line is missing, cut short, malformed or out of range.
bool FindStatusTgid(const char* text, size_t size, pid_t* tgid);

// The real user id on the first "Uid:" line of status text.
bool FindStatusUid(const char* text, size_t size, uint32_t* uid);

// The command name (its first 15 bytes, NUL-ended into `name`) and the
// parent's id from /proc/<pid>/stat; false for anything malformed.
bool ParseStatIdentity(const char* text, size_t size, char (&name)[16], pid_t* parent);

// Calls visit(id, context) for each line of a cgroup.procs file (one
// decimal id a line) until it returns false. False when the text is not
// such a list or ends in a cut line.
bool ForEachListedId(const char* text, size_t size, bool (*visit)(pid_t, void*), void* context);

// The user id of account `name` in passwd text ("name:password:uid:...");
// false when the account is not there or its line is malformed.
bool FindPasswdUid(const char* text, size_t size, const char* name, uint32_t* uid);

}  // namespace linuxapi
