// Any bytes as a version block, any query path.
// Input: one byte n, n bytes of query path, then the block.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Win32.h"
#include "platform/linux/VersionInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t pathLength = data[0];
    if (size < 1 + pathLength) return 0;
    const std::string path(reinterpret_cast<const char*>(data + 1), pathLength);
    size_t blockSize = size - 1 - pathLength;
    if (blockSize > 0xFFFF) blockSize = 0xFFFF;
    if (blockSize < 2) return 0;

    // Laid out as GetFileVersionInfoA delivers it: the block, its own length
    // in its first word, then the scratch area for narrow texts.
    std::vector<uint8_t> buffer(linuxapi::VersionBufferSize(blockSize));
    std::memcpy(buffer.data(), data + 1 + pathLength, blockSize);
    buffer[0] = static_cast<uint8_t>(blockSize);
    buffer[1] = static_cast<uint8_t>(blockSize >> 8);

    const char* queries[] = {path.c_str(), "\\", "\\VarFileInfo\\Translation",
                             "\\StringFileInfo\\040904b0\\FileVersion", "\\StringFileInfo\\040904b0\\CompanyName"};
    for (const char* query : queries) {
        LPVOID value = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(buffer.data(), query, &value, &length)) continue;
        const auto* p = static_cast<const uint8_t*>(value);
        if (p < buffer.data() || p >= buffer.data() + buffer.size()) __builtin_trap();
        volatile uint8_t sink = 0;
        for (UINT i = 0; i < length && p + i < buffer.data() + buffer.size(); ++i) sink ^= p[i];
        (void)sink;
        // Texts are NUL-terminated inside the buffer.
        if (p >= buffer.data() + blockSize && std::memchr(p, 0, buffer.data() + buffer.size() - p) == nullptr) {
            __builtin_trap();
        }
    }
    return 0;
}
