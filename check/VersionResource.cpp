// Places a program's version block in its own ELF section, where the version
// API finds it in the program file, as Windows finds a PE file's RT_VERSION.
// The build names the program's description (the check's by default).
#include "check/VersionBlock.h"

#ifndef TRELMARK_VERSION_DESCRIPTION
#define TRELMARK_VERSION_DESCRIPTION kVersionDescription
#endif

namespace {

constexpr linuxapi::VersionBlockWriter<4096> kWriter(check::TRELMARK_VERSION_DESCRIPTION);
__attribute__((section(".trelmark.version"), used)) constexpr std::array<uint8_t, kWriter.Size()> kVersionBlock =
    linuxapi::TrimVersionBlock<kWriter.Size()>(kWriter);

}  // namespace
