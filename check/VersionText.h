// The running program's version as both programs show it.
#pragma once

#include <string>

namespace check {

// "1.0.0.54 (Dec 8 2026)": the numbers from the program's own version
// resource, then the build date; "(unknown)" stands for the numbers when
// there is no resource or they cannot be read. `numbersUnreadable`, when
// given, tells the second case from the first. The resource is freed before
// this returns.
std::string OwnVersionText(bool* numbersUnreadable = nullptr);

}  // namespace check
