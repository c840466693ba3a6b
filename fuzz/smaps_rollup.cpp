// Any bytes as a /proc smaps_rollup file; the result must not depend on how
// the text arrives (one piece, or pieces of a size the input chooses).
#include <algorithm>
#include <cstdint>

#include "platform/linux/ProcStatus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t chunk = data[0] % 17 + 1;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;

    linuxapi::SmapsRollupParser whole, pieces;
    whole.Feed(text, length);
    for (size_t at = 0; at < length; at += chunk) pieces.Feed(text + at, std::min(chunk, length - at));
    linuxapi::SmapsRollupCounters a, b;
    const bool okWhole = whole.Finish(&a);
    const bool okPieces = pieces.Finish(&b);
    if (okWhole != okPieces) __builtin_trap();
    if (okWhole && (a.proportionalBytes != b.proportionalBytes || a.privateCleanBytes != b.privateCleanBytes ||
                    a.privateDirtyBytes != b.privateDirtyBytes)) {
        __builtin_trap();
    }
    // Whole kilobytes only: a value that is not came from a wrapped product.
    if (okWhole && ((a.proportionalBytes | a.privateCleanBytes | a.privateDirtyBytes) & 1023) != 0) __builtin_trap();
    return 0;
}
