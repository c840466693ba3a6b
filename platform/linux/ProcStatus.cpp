// Parser of /proc/<pid>/status: the memory lines and the Tgid line, from
// untrusted text of any shape.
#include "platform/linux/ProcStatus.h"

#include <cstring>

namespace linuxapi {

void ProcStatusParser::Feed(const char* data, size_t size) {
    const char* p = data;
    const char* const end = data + size;
    while (p < end && !Complete()) {
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
            } else if (keyLength_ < sizeof key_ && (keyLength_ > 0 || c == 'V')) {
                key_[keyLength_++] = c;  // every wanted name starts with "Vm"
            } else {
                state_ = State::Skip;
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

void ProcStatusParser::StartValue() {
    static const struct {
        const char* name;
        unsigned length;
    } kNames[] = {{"VmRSS", 5}, {"VmHWM", 5}, {"VmData", 6}, {"VmStk", 5}};
    field_ = 0;
    for (unsigned f = 0; f < 4; ++f) {
        if (keyLength_ == kNames[f].length && std::memcmp(key_, kNames[f].name, keyLength_) == 0) field_ = 1u << f;
    }
    // Only the first line of each name counts.
    state_ = field_ != 0 && (seen_ & field_) == 0 ? State::Value : State::Skip;
    value_ = 0;
    digits_ = 0;
    unitLength_ = 0;
}

void ProcStatusParser::EndLine() {
    if (state_ == State::Value || state_ == State::Unit) {
        if (digits_ == 0 || unitLength_ != 2) {
            malformed_ = true;
        } else {
            unsigned index = 0;
            while ((1u << index) != field_) ++index;
            kilobytes_[index] = value_;
            seen_ |= field_;
        }
    }
    state_ = State::Key;
    keyLength_ = 0;
    field_ = 0;
}

bool ProcStatusParser::Finish(ProcStatusCounters* counters) {
    EndLine();  // a last line without its line feed still counts
    if (malformed_) return false;
    uint64_t* const bytes[4] = {&counters->residentBytes, &counters->peakResidentBytes, &counters->dataBytes,
                                &counters->stackBytes};
    for (unsigned i = 0; i < 4; ++i) {
        if (kilobytes_[i] > UINT64_MAX / 1024) return false;
        *bytes[i] = kilobytes_[i] * 1024;
    }
    return true;
}

bool FindStatusTgid(const char* text, size_t size, pid_t* tgid) {
    static const char kKey[] = "Tgid:";
    const size_t keyLength = sizeof kKey - 1;
    for (size_t at = 0; at < size;) {
        const char* line = text + at;
        const char* newline = static_cast<const char*>(std::memchr(line, '\n', size - at));
        if (newline == nullptr) return false;  // a cut line may have lost digits
        const size_t length = static_cast<size_t>(newline - line);
        at += length + 1;
        if (length < keyLength || std::memcmp(line, kKey, keyLength) != 0) continue;
        size_t i = keyLength;
        while (i < length && (line[i] == '\t' || line[i] == ' ')) ++i;
        const size_t firstDigit = i;
        uint64_t value = 0;
        for (; i < length && line[i] >= '0' && line[i] <= '9'; ++i) {
            value = value * 10 + static_cast<uint64_t>(line[i] - '0');
            if (value > kMaxProcessId) return false;
        }
        if (i == firstDigit || i != length || value == 0) return false;
        *tgid = static_cast<pid_t>(value);
        return true;
    }
    return false;
}

}  // namespace linuxapi
