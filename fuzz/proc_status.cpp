// Any bytes as a /proc status file; the result must not depend on how the
// text arrives (one piece, or pieces of a size the input chooses). The same
// bytes go through the Tgid and Uid scans and the parsers of the other files
// a selection reads: stat, cgroup.procs and /etc/passwd.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/linux/ProcStatus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t chunk = data[0] % 17 + 1;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;

    linuxapi::ProcStatusParser whole, pieces;
    whole.Feed(text, length);
    for (size_t at = 0; at < length; at += chunk) pieces.Feed(text + at, std::min(chunk, length - at));
    linuxapi::ProcStatusCounters a, b;
    const bool okWhole = whole.Finish(&a);
    const bool okPieces = pieces.Finish(&b);
    if (okWhole != okPieces) __builtin_trap();
    if (okWhole && (a.residentBytes != b.residentBytes || a.peakResidentBytes != b.peakResidentBytes ||
                    a.dataBytes != b.dataBytes || a.stackBytes != b.stackBytes)) {
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
