// Privileges in a process's access token.
#pragma once

#include "platform/Win32.h"

namespace Windows {

// Enables (or disables) one named privilege in the token of `process`
// (NULL: the calling process). Throws Keel::Error with the system's text,
// also when the token does not hold the privilege at all.
void EnableProcessPrivilege(const char* privilege, HANDLE process, bool enable);

}  // namespace Windows
