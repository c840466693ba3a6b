// Accounts the host knows beyond /etc/passwd (LDAP, SSSD, extrausers): the
// programs are static and cannot load the name service switch's modules, so
// getent, a program of the system, asks it for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace linuxapi {

constexpr char kGetent[] = "/usr/bin/getent";

enum class AccountLookup { Found, Missing, Failed };

// Runs `program passwd -- name` with a clean environment, no descriptors but
// its three, no capabilities and no way to gain any, and killed when this
// process ends (so the check's timeout ends a name service that hangs).
// At most 64 KiB of its output are read. Failed carries `reason`.
AccountLookup LookUpAccount(const char* program, const char* name, uint32_t* uid, std::string* reason);

// The uid of getent's answer: one passwd line ("name:x:uid:gid:gecos:home:shell")
// ending in a line feed, with a decimal uid of at most 4294967294. False for
// anything else.
bool ParseGetentPasswd(const char* text, size_t length, uint32_t* uid);

// Whether `name` can be handed to getent as a user name: 1 to 256 bytes,
// none of them a control character, ':' or DEL.
bool IsAccountName(const char* name);

}  // namespace linuxapi
