// Parsers of /proc/<pid>/status (the memory lines and the Tgid line) and of
// /proc/<pid>/smaps_rollup, from untrusted text of any shape.
#include "platform/linux/ProcStatus.h"

#include <algorithm>
#include <cstring>

#include <string.h>  // memrchr

namespace linuxapi {

KilobyteLineParser::KilobyteLineParser(const char* const* keys, unsigned count)
    : keys_(keys), count_(count), all_((1u << count) - 1), candidates_(all_) {
    // Unrolled, so that a parser's constant keys give its tables at compile time.
#pragma GCC unroll 6
    for (unsigned k = 0; k < count; ++k) {
        lengths_[k] = static_cast<unsigned char>(std::strlen(keys[k]));
        firsts_[k] = keys[k][0];
        unsigned char head[8] = {}, mask[8] = {};
        for (unsigned i = 0; i < 8 && i < lengths_[k]; ++i) {
            head[i] = static_cast<unsigned char>(keys[k][i]);
            mask[i] = 0xFF;
        }
        std::memcpy(&heads_[k], head, 8);
        std::memcpy(&masks_[k], mask, 8);
        oneFirst_ = oneFirst_ && firsts_[k] == firsts_[0];
    }
}

namespace {

// The first line start in [from, end) whose line begins with `c`, `from`
// being a line's start; `end` when there is none.
const char* NextLineWith(const char* from, const char* end, char c) {
    const char* at = from;
    while ((at = static_cast<const char*>(std::memchr(at, c, static_cast<size_t>(end - at)))) != nullptr && at != from &&
           at[-1] != '\n') {
        ++at;
    }
    return at != nullptr ? at : end;
}

}  // namespace

template <bool kTwoFirsts>
void KilobyteLineParser::FeedLines(const char* data, size_t size) {
    const char* p = data;
    const char* const end = data + size;
    // With two first letters, the one that is not the first key's.
    char secondFirst = '\0';
    if constexpr (kTwoFirsts) {
        for (unsigned k = 1; k < count_ && secondFirst == '\0'; ++k) {
            if (firsts_[k] != firsts_[0]) secondFirst = firsts_[k];
        }
    }
    while (p < end && !Complete()) {
        if (state_ == State::Key && keyLength_ == 0) {
            // At a line's start. When every key starts with one letter, the
            // lines before the next one that starts with it are passed over
            // at once; with two, from a line that starts with neither, those
            // before the nearer of each letter's next line. A line that is
            // whole in this piece, the common case, is taken at once; one
            // cut by the piece's end goes byte by byte below.
            if constexpr (kTwoFirsts) {
                if (*p != firsts_[0] && *p != secondFirst) {
                    const char* at = NextLineWith(p, end, firsts_[0]);
                    at = NextLineWith(p, at, secondFirst);
                    if (at == end) {
                        // None here: only a cut last line may still become one.
                        const char* last = static_cast<const char*>(memrchr(p, '\n', static_cast<size_t>(end - p)));
                        if (last == nullptr) goto byteByByte;
                        p = last + 1;
                        continue;
                    }
                    p = at;
                }
            } else if (oneFirst_) {
                const char* at = p;
                while ((at = static_cast<const char*>(std::memchr(at, firsts_[0], static_cast<size_t>(end - at)))) != nullptr &&
                       at != p && at[-1] != '\n') {
                    ++at;
                }
                if (at == nullptr) {
                    // None here: only a cut last line may still become one.
                    const char* last = static_cast<const char*>(memrchr(p, '\n', static_cast<size_t>(end - p)));
                    if (last == nullptr) goto byteByByte;
                    p = last + 1;
                    continue;
                }
                p = at;
            }
            const char* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (newline != nullptr) {
                TakeLine(p, newline);
                p = newline + 1;
                continue;
            }
        }
    byteByByte:
        if (state_ == State::Skip) {
            // Most lines are of no interest: jump to the next one at once.
            const char* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (newline == nullptr) return;
            p = newline;
        }
        const char c = *p++;
        if (c == '\n') {
            EndLine();
            continue;
        }
        switch (state_) {
        case State::Key:
            if (c == ':') {
                StartValue();
            } else {
                NarrowKeys(c);
            }
            break;
        case State::Value:
            if (c >= '0' && c <= '9') {
                const uint64_t digit = static_cast<uint64_t>(c - '0');
                if (value_ > (UINT64_MAX - digit) / 10) malformed_ = true;
                value_ = value_ * 10 + digit;
                ++digits_;
            } else if ((c == ' ' || c == '\t') && digits_ == 0) {
                // blanks before the number
            } else if (c == ' ' && digits_ > 0) {
                state_ = State::Unit;
            } else {
                malformed_ = true;
                state_ = State::Skip;
            }
            break;
        case State::Unit:
            // Exactly "kB" after the number's blank.
            if (unitLength_ < 2 && c == "kB"[unitLength_]) {
                ++unitLength_;
            } else {
                malformed_ = true;
                state_ = State::Skip;
            }
            break;
        case State::Skip:
            break;
        }
    }
}

template void KilobyteLineParser::FeedLines<false>(const char*, size_t);
template void KilobyteLineParser::FeedLines<true>(const char*, size_t);

// The line from `line` to `newline`, as the bytes one at a time would be.
inline void KilobyteLineParser::TakeLine(const char* line, const char* newline) {
    const size_t length = static_cast<size_t>(newline - line);
    // The line's first eight bytes against each key's, masked to its
    // length: one comparison instead of a loop (or a call) per key.
    uint64_t head = 0;
    if (length >= 8) std::memcpy(&head, line, 8);
    unsigned field = 0;
    for (unsigned k = 0, wanted = all_ & ~seen_; k < count_; ++k) {
        const size_t keyLength = lengths_[k];
        if ((wanted & (1u << k)) == 0 || length <= keyLength || line[keyLength] != ':') continue;
        const bool same = length >= 8 ? (head & masks_[k]) == heads_[k] &&
                                            (keyLength <= 8 || std::memcmp(line + 8, keys_[k] + 8, keyLength - 8) == 0)
                                      : std::memcmp(line, keys_[k], keyLength) == 0;
        if (same) {
            field = k + 1;
            break;
        }
    }
    if (field == 0) return;
    const char* p = line + lengths_[field - 1] + 1;
    while (p < newline && (*p == ' ' || *p == '\t')) ++p;
    uint64_t value = 0;
    const char* const digits = p;
    for (; p < newline && *p >= '0' && *p <= '9'; ++p) {
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) malformed_ = true;
        value = value * 10 + digit;
    }
    // Exactly " kB" after the number, and the line ends.
    if (p == digits || newline - p != 3 || p[0] != ' ' || p[1] != 'k' || p[2] != 'B') {
        malformed_ = true;
        return;
    }
    kilobytes_[field - 1] = value;
    seen_ |= 1u << (field - 1);
    candidates_ = all_ & ~seen_;
}

// Keeps the wanted keys that the line's key read so far, followed by `c`,
// still starts; the line is skipped once none is left. Keys already read
// are never candidates: only the first line of each counts.
void KilobyteLineParser::NarrowKeys(char c) {
    unsigned still = 0;
    for (unsigned k = 0; k < count_; ++k) {
        if ((candidates_ & (1u << k)) != 0 && lengths_[k] > keyLength_ && keys_[k][keyLength_] == c) still |= 1u << k;
    }
    candidates_ = still;
    ++keyLength_;
    if (still == 0) state_ = State::Skip;
}

void KilobyteLineParser::StartValue() {
    field_ = 0;
    for (unsigned k = 0; k < count_; ++k) {
        if ((candidates_ & (1u << k)) != 0 && keyLength_ == lengths_[k]) field_ = k + 1;
    }
    state_ = field_ != 0 ? State::Value : State::Skip;
    value_ = 0;
    digits_ = 0;
    unitLength_ = 0;
}

void KilobyteLineParser::EndLine() {
    if (state_ == State::Value || state_ == State::Unit) {
        if (digits_ == 0 || unitLength_ != 2) {
            malformed_ = true;
        } else {
            kilobytes_[field_ - 1] = value_;
            seen_ |= 1u << (field_ - 1);
        }
    }
    state_ = State::Key;
    keyLength_ = 0;
    candidates_ = all_ & ~seen_;
    field_ = 0;
}

bool KilobyteLineParser::FinishBytes(uint64_t* bytes) {
    EndLine();  // a last line without its line feed still counts
    if (malformed_) return false;
    for (unsigned k = 0; k < count_; ++k) {
        if (kilobytes_[k] > UINT64_MAX / 1024) return false;
        bytes[k] = kilobytes_[k] * 1024;
    }
    return true;
}

namespace {
const char* const kStatusKeys[] = {"VmRSS", "VmHWM", "VmData", "VmStk"};
const char* const kSmapsRollupKeys[] = {"Pss", "Private_Clean", "Private_Dirty"};
const char* const kAnonSwapKeys[] = {"RssAnon", "VmSwap"};
const char* const kStatusAllKeys[] = {"VmRSS", "VmHWM", "VmData", "VmStk", "RssAnon", "VmSwap"};
}  // namespace

ProcStatusAllParser::ProcStatusAllParser() : KilobyteLineParser(kStatusAllKeys, 6) {}

bool ProcStatusAllParser::Finish(ProcStatusAll* all) {
    uint64_t bytes[6];
    if (!FinishBytes(bytes)) return false;
    all->counters = {bytes[0], bytes[1], bytes[2], bytes[3]};
    all->anonSwap = {bytes[4], bytes[5]};
    return true;
}

ProcStatusAnonSwapParser::ProcStatusAnonSwapParser() : KilobyteLineParser(kAnonSwapKeys, 2) {}

bool ProcStatusAnonSwapParser::Finish(ProcStatusAnonSwap* counters) {
    uint64_t bytes[2];
    if (!FinishBytes(bytes)) return false;
    *counters = {bytes[0], bytes[1]};
    return true;
}

bool FindMemInfoBytes(const char* text, size_t size, const char* key, uint64_t* bytes) {
    const size_t length = std::strlen(key);
    const char* line = text;
    const char* const end = text + size;
    // The key at the start of the text or of a line, followed by its colon.
    while (static_cast<size_t>(end - line) > length &&
           !(std::memcmp(line, key, length) == 0 && line[length] == ':')) {
        const void* next = std::memchr(line, '\n', static_cast<size_t>(end - line));
        if (next == nullptr) return false;
        line = static_cast<const char*>(next) + 1;
    }
    const char* p = line + length + 1;
    if (p > end) return false;
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    uint64_t kilobytes = 0;
    const char* digits = p;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (kilobytes > (UINT64_MAX / 1024 - digit) / 10) return false;
        kilobytes = kilobytes * 10 + digit;
    }
    if (p == digits || end - p < 3 || std::memcmp(p, " kB", 3) != 0 || (end - p > 3 && p[3] != '\n')) return false;
    *bytes = kilobytes * 1024;
    return true;
}

ProcStatusParser::ProcStatusParser() : KilobyteLineParser(kStatusKeys, 4) {}

bool ProcStatusParser::Finish(ProcStatusCounters* counters) {
    uint64_t bytes[4];
    if (!FinishBytes(bytes)) return false;
    *counters = {bytes[0], bytes[1], bytes[2], bytes[3]};
    return true;
}

SmapsRollupParser::SmapsRollupParser() : KilobyteLineParser(kSmapsRollupKeys, 3) {}

bool SmapsRollupParser::Finish(SmapsRollupCounters* counters) {
    uint64_t bytes[3];
    if (!FinishBytes(bytes)) return false;
    *counters = {bytes[0], bytes[1], bytes[2]};
    return true;
}

namespace {

// The first number on the first line of `key` ("Key:"): blanks, decimal
// digits, then a blank or the line's end.
bool FindStatusNumber(const char* text, size_t size, const char* key, uint64_t limit, uint64_t* number) {
    const size_t keyLength = std::strlen(key);
    for (size_t at = 0; at < size;) {
        const char* line = text + at;
        const char* newline = static_cast<const char*>(std::memchr(line, '\n', size - at));
        if (newline == nullptr) return false;  // a cut line may have lost digits
        const size_t length = static_cast<size_t>(newline - line);
        at += length + 1;
        if (length < keyLength || line[0] != key[0] || std::memcmp(line, key, keyLength) != 0) continue;
        size_t i = keyLength;
        while (i < length && (line[i] == '\t' || line[i] == ' ')) ++i;
        const size_t firstDigit = i;
        uint64_t value = 0;
        for (; i < length && line[i] >= '0' && line[i] <= '9'; ++i) {
            value = value * 10 + static_cast<uint64_t>(line[i] - '0');
            if (value > limit) return false;
        }
        if (i == firstDigit || (i != length && line[i] != '\t' && line[i] != ' ')) return false;
        *number = value;
        return true;
    }
    return false;
}

}  // namespace

bool FindStatusTgid(const char* text, size_t size, pid_t* tgid) {
    uint64_t value = 0;
    if (!FindStatusNumber(text, size, "Tgid:", kMaxProcessId, &value) || value == 0) return false;
    *tgid = static_cast<pid_t>(value);
    return true;
}

bool FindStatusUid(const char* text, size_t size, uint32_t* uid) {
    uint64_t value = 0;
    if (!FindStatusNumber(text, size, "Uid:", 0xFFFFFFFEu, &value)) return false;
    *uid = static_cast<uint32_t>(value);
    return true;
}

bool ParseStatIdentity(const char* text, size_t size, char (&name)[16], pid_t* parent) {
    // "pid (name) state ppid ...": the name may hold anything, ')' and
    // blanks included, so it ends at the last ')'.
    const char* open = static_cast<const char*>(std::memchr(text, '(', size));
    const char* close = static_cast<const char*>(memrchr(text, ')', size));
    // A user process's name has at most 15 bytes; a kernel thread's is
    // shown whole (up to 63), and kept here as its first 15 like any other.
    if (open == nullptr || close == nullptr || close < open || close - open - 1 > 63) return false;
    const size_t rest = size - static_cast<size_t>(close + 1 - text);
    // ") S 1234 "
    if (rest < 5 || close[1] != ' ' || close[3] != ' ') return false;
    uint64_t value = 0;
    size_t i = 4, digits = 0;
    for (; i < rest && close[i] >= '0' && close[i] <= '9'; ++i, ++digits) {
        value = value * 10 + static_cast<uint64_t>(close[i] - '0');
        if (value > kMaxProcessId) return false;
    }
    if (digits == 0 || (i < rest && close[i] != ' ' && close[i] != '\n')) return false;
    const size_t length = std::min<size_t>(static_cast<size_t>(close - open - 1), 15);
    std::memcpy(name, open + 1, length);
    name[length] = '\0';
    *parent = static_cast<pid_t>(value);
    return true;
}

bool ForEachListedId(const char* text, size_t size, bool (*visit)(pid_t, void*), void* context) {
    uint64_t value = 0;
    size_t digits = 0;
    for (size_t i = 0; i < size; ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            value = value * 10 + static_cast<uint64_t>(c - '0');
            if (++digits > 10 || value > kMaxProcessId) return false;
        } else if (c == '\n' && digits > 0 && value > 0) {
            if (!visit(static_cast<pid_t>(value), context)) return true;
            value = 0;
            digits = 0;
        } else {
            return false;
        }
    }
    return digits == 0;  // a cut last line may have lost digits
}

bool FindPasswdUid(const char* text, size_t size, const char* name, uint32_t* uid) {
    const size_t nameLength = std::strlen(name);
    for (size_t at = 0; at < size;) {
        const char* line = text + at;
        const char* newline = static_cast<const char*>(std::memchr(line, '\n', size - at));
        const size_t length = newline != nullptr ? static_cast<size_t>(newline - line) : size - at;
        at += length + 1;
        // name:password:uid:...
        if (length <= nameLength + 1 || std::memcmp(line, name, nameLength) != 0 || line[nameLength] != ':') continue;
        const char* field = static_cast<const char*>(std::memchr(line + nameLength + 1, ':', length - nameLength - 1));
        if (field == nullptr) return false;
        uint64_t value = 0;
        size_t i = static_cast<size_t>(field + 1 - line);
        const size_t first = i;
        for (; i < length && line[i] >= '0' && line[i] <= '9' && i - first < 10; ++i) {
            value = value * 10 + static_cast<uint64_t>(line[i] - '0');
        }
        if (i == first || i >= length || line[i] != ':' || value > 0xFFFFFFFEu) return false;
        *uid = static_cast<uint32_t>(value);
        return true;
    }
    return false;
}

}  // namespace linuxapi
