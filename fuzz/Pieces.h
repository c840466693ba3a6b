// A parser fed a text whole and in pieces (of a size the first input byte
// chooses) must give the same result: stops the fuzzer when it does not.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace fuzzing {

// Returns whether the whole text parsed, its counters in *counters; sets
// *text and *length to the bytes after the chooser. Counters are plain
// 64-bit fields, so bytes compare them.
template <class Parser, class Counters>
bool ParsedAlikeInPieces(const uint8_t* data, size_t size, Counters* counters, const char** text, size_t* length) {
    const size_t chunk = data[0] % 17 + 1;
    *text = reinterpret_cast<const char*>(data + 1);
    *length = size - 1;
    Parser whole, pieces;
    whole.Feed(*text, *length);
    for (size_t at = 0; at < *length; at += chunk) pieces.Feed(*text + at, std::min(chunk, *length - at));
    Counters other;
    const bool ok = whole.Finish(counters);
    if (ok != pieces.Finish(&other)) __builtin_trap();
    if (ok && std::memcmp(counters, &other, sizeof other) != 0) __builtin_trap();
    return ok;
}

}  // namespace fuzzing
