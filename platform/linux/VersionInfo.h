// The pieces behind the version API that read untrusted bytes: the ELF
// section lookup and the walk of a VS_VERSIONINFO block. Kept apart from
// the file and API plumbing so that tests and fuzzers can drive them alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Win32.h"

namespace linuxapi {

// Where the program's version block lives in its ELF file.
constexpr char kVersionSectionName[] = ".trelmark.version";

// Reads `length` bytes at `offset`; false when they are not all there.
using ReadAt = bool (*)(void* context, uint64_t offset, void* buffer, size_t length);

// Finds the section `name` in a 64-bit little-endian ELF file of `fileSize`
// bytes. Every offset and size is checked against the file. Returns
// ERROR_SUCCESS, or ERROR_RESOURCE_TYPE_NOT_FOUND for a file that is not
// such an ELF file or has no such section, or the reader's failure.
DWORD FindElfSection(ReadAt read, void* context, uint64_t fileSize, const char* name, uint64_t* offset,
                     uint64_t* size);

// A value found in a version block: `offset` and `bytes` locate it inside
// the block; text values count `bytes` / 2 UTF-16 units.
struct VersionValue {
    size_t offset;
    size_t bytes;
    bool text;
};

// Looks `subBlock` up in the block (`blockSize` bytes, which bound every
// length the block claims): "\" for the fixed information, otherwise
// names separated by backslashes, compared without regard to ASCII case.
bool FindVersionValue(const uint8_t* block, size_t blockSize, const char* subBlock, VersionValue* value);

// Size of the buffer GetFileVersionInfoA fills for a block of `blockSize`
// bytes: the block, then room for the narrow copies of its texts.
constexpr size_t VersionBufferSize(size_t blockSize) { return (blockSize + blockSize / 2 + 2 + 3) & ~size_t{3}; }

}  // namespace linuxapi
