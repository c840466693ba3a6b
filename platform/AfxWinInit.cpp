// Stand-in for the application framework's start-up: the program has no
// application object, and what it relies on is the success result and that
// the system shows no critical-error or open-file message boxes.
#include "platform/Win32.h"

BOOL AfxWinInit(HINSTANCE, HINSTANCE, LPSTR, int) {
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    return TRUE;
}
