// Text of Windows system error codes.
#pragma once

#include <string>

#include "platform/Win32.h"

namespace Windows {

// The system's text for `code`, without its final CR LF and period; with
// `substitute`, a fixed replacement text first for the codes that have one.
// Never fails: an unknown code gives "Unknown error (0x<hex>)".
std::string GetErrorText(DWORD code, bool substitute);
std::string GetLastErrorText(bool substitute);

// Replacement text for `code`, or "" when it has none.
const char* GetSubstituteErrorText(DWORD code);

}  // namespace Windows
