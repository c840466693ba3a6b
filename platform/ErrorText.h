// The check's words for a failure of the system. Each system speaks its own
// language: Windows its messages, Linux what strerror says for the errno.
// Trelmark64's texts are the Windows messages on both (windows/WindowsError.h).
#pragma once

#include <string>

#include "platform/Win32.h"

namespace platform {

// The text for `code`, the last error or one taken from it just before.
// Windows: the system's message, without its final CR LF and period, or
// "Unknown error (0x<hex>)". Linux: strerror of the errno behind `code` (the
// one kept beside the last error when it is `code`, else the errno `code`
// stands for), with the hint that helps: CAP_SYS_PTRACE for another user's
// process, `ulimit -n` for descriptors.
std::string ErrorText(DWORD code);
std::string LastErrorText();

}  // namespace platform
