#include "windows/WindowsError.h"

#include <cstdio>
#include <cstring>

#include "Common/LogTrace.h"

namespace Windows {

namespace {

struct Substitute {
    DWORD code;
    const char* text;
};

const char kCannotRun[] = "The operating system cannot run the application";

// Codes whose system text is unhelpful or missing on some systems.
const Substitute kSubstitutes[] = {
    {34, "The wrong diskette is in the drive. Please insert the correct diskette"},
    {106, "Insert the diskette for the drive"},
    {129, "The application cannot be run in Win32 mode"},
    {182, kCannotRun},
    {188, kCannotRun},
    {189, kCannotRun},
    {190, kCannotRun},
    {191, "Cannot run the application in Win32 mode"},
    {192, kCannotRun},
    {193, "Not a valid Win32 application"},
    {194, kCannotRun},
    {195, kCannotRun},
    {198, kCannotRun},
    {201, kCannotRun},
    {202, kCannotRun},
    {216, "The image file is valid, but is for a machine type other than the current machine"},
    {317, "The system cannot find the message text in the message file"},
    {0x80030002u, "The file could not be found"},
    {0x80030003u, "The path could not be found"},
    {0x80030050u, "The file already exists"},
    {0x800300FBu, "The file is not a valid compound file"},
    {0x800300FCu, "The name is not valid"},
    {0x80030104u, "The compound file was produced with an incompatible version of storage"},
    {0x80030105u, "The compound file was produced with a newer version of storage"},
};

}  // namespace

const char* GetSubstituteErrorText(DWORD code) {
    for (const Substitute& row : kSubstitutes) {
        if (row.code == code) return row.text;
    }
    return "";
}

std::string GetErrorText(DWORD code, bool substitute) {
    if (substitute) {
        const char* text = GetSubstituteErrorText(code);
        if (text[0] != '\0') return text;
    }

    char buffer[1024];
    std::memset(buffer, 0, sizeof buffer);
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer - 1, nullptr);
    if (length != 0) {
        // Exactly one CR LF and then one period; a lone LF or blanks stay.
        size_t n = std::strlen(buffer);
        if (n >= 2 && buffer[n - 2] == '\r' && buffer[n - 1] == '\n') buffer[n -= 2] = '\0';
        if (n >= 1 && buffer[n - 1] == '.') buffer[n - 1] = '\0';
        return buffer;
    }

    DWORD failure = GetLastError();
    if (failure != code && failure != ERROR_MR_MID_NOT_FOUND) {
        LogTrace::Trace("Error processing code (0x%x): [%s / %d]\n", static_cast<unsigned>(code),
                        GetErrorText(failure, true).c_str(), static_cast<int>(failure));
    }
    char unknown[64];
    std::snprintf(unknown, sizeof unknown, "Unknown error (0x%x)", static_cast<unsigned>(code));
    return unknown;
}

std::string GetLastErrorText(bool substitute) { return GetErrorText(GetLastError(), substitute); }

}  // namespace Windows
