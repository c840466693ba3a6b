// The check's own logic, declared for the tests that drive it in-process.
#pragma once

#include "platform/Win32.h"

int RunCheck();
void ParseArguments(DWORD& processId, int& threshold, bool& virtualMemory, bool& verbose);
void PrintUsage();

// The decimal conversion of both numbers: leading blanks, a sign, digits up
// to the first other character, saturated to the 32-bit range; no digits
// give 0.
int ConvertDecimal(const char* text);
