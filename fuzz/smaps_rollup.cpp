// Any bytes as a /proc smaps_rollup file; the result must not depend on how
// the text arrives (one piece, or pieces of a size the input chooses).
#include <cstdint>

#include "fuzz/Pieces.h"
#include "platform/linux/ProcStatus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    linuxapi::SmapsRollupCounters a;
    const char* text;
    size_t length;
    const bool ok = fuzzing::ParsedAlikeInPieces<linuxapi::SmapsRollupParser>(data, size, &a, &text, &length);
    // Whole kilobytes only: a value that is not came from a wrapped product.
    if (ok && ((a.proportionalBytes | a.privateCleanBytes | a.privateDirtyBytes) & 1023) != 0) __builtin_trap();
    return 0;
}
