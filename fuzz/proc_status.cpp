// Any bytes as a /proc status file; the result must not depend on how the
// text arrives (one piece, or pieces of a size the input chooses). The same
// bytes go through the Tgid and Uid scans and the parsers of the other files
// a selection reads: stat, cgroup.procs and /etc/passwd.
#include <cstdint>
#include <cstring>

#include "fuzz/Pieces.h"
#include "platform/linux/ProcStatus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    linuxapi::ProcStatusCounters counters;
    const char* text;
    size_t length;
    const bool countersOk = fuzzing::ParsedAlikeInPieces<linuxapi::ProcStatusParser>(data, size, &counters, &text, &length);
    // The keys of two first letters (RssAnon, VmSwap) pass over lines by
    // each letter: alike in pieces, and one pass over all six keys gives
    // what the two parsers give apart.
    linuxapi::ProcStatusAnonSwap anonSwap;
    const bool anonSwapOk = fuzzing::ParsedAlikeInPieces<linuxapi::ProcStatusAnonSwapParser>(data, size, &anonSwap, &text, &length);
    linuxapi::ProcStatusAll all;
    const bool allOk = fuzzing::ParsedAlikeInPieces<linuxapi::ProcStatusAllParser>(data, size, &all, &text, &length);
    if (allOk != (countersOk && anonSwapOk)) __builtin_trap();
    if (allOk && (std::memcmp(&all.counters, &counters, sizeof counters) != 0 ||
                  std::memcmp(&all.anonSwap, &anonSwap, sizeof anonSwap) != 0)) {
        __builtin_trap();
    }
    // The Tgid scan over the same bytes: within bounds, and only ids it accepts.
    pid_t tgid = 0;
    if (linuxapi::FindStatusTgid(text, length, &tgid) && (tgid <= 0 || static_cast<uint64_t>(tgid) > linuxapi::kMaxProcessId)) {
        __builtin_trap();
    }
    uint32_t uid = 0;
    if (linuxapi::FindStatusUid(text, length, &uid) && uid == 0xFFFFFFFFu) __builtin_trap();
    char name[16];
    pid_t parent = -1;
    if (linuxapi::ParseStatIdentity(text, length, name, &parent) &&
        (parent < 0 || static_cast<uint64_t>(parent) > linuxapi::kMaxProcessId || std::strlen(name) > 15)) {
        __builtin_trap();
    }
    size_t ids = 0;
    linuxapi::ForEachListedId(text, length, [](pid_t id, void* count) {
        if (id <= 0 || static_cast<uint64_t>(id) > linuxapi::kMaxProcessId) __builtin_trap();
        return ++*static_cast<size_t*>(count) < 1000;
    }, &ids);
    if (linuxapi::FindPasswdUid(text, length, "nagios", &uid) && uid == 0xFFFFFFFFu) __builtin_trap();
    return 0;
}
