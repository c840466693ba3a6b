// Places the version block in its own ELF section, where the version API
// finds it in the program file, as Windows finds a PE file's RT_VERSION.
#include "check/VersionBlock.h"

namespace {

constexpr size_t kSize = check::kVersionWriter.Size();
__attribute__((section(".trelmark.version"), used)) constexpr std::array<uint8_t, kSize> kVersionBlock =
    posix::TrimVersionBlock<kSize>(check::kVersionWriter);

}  // namespace
