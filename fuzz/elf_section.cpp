// Any bytes as an ELF file for the section lookup.
#include <cstdint>
#include <cstring>

#include "platform/linux/VersionInfo.h"

namespace {

struct Memory {
    const uint8_t* data;
    size_t size;
};

bool ReadMemory(void* context, uint64_t offset, void* buffer, size_t length) {
    const Memory* m = static_cast<const Memory*>(context);
    if (offset > m->size || length > m->size - offset) return false;
    std::memcpy(buffer, m->data + offset, length);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Memory memory{data, size};
    uint64_t offset = 0, length = 0;
    if (linuxapi::FindElfSection(ReadMemory, &memory, size, linuxapi::kVersionSectionName, &offset, &length) == 0) {
        if (offset > size || length > size - offset) __builtin_trap();  // found sections lie inside the file
    }
    return 0;
}
