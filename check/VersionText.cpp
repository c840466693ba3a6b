#include "check/VersionText.h"

#include "check/BuildDate.h"
#include "windows/Contrib/FileVersion/FileVersion.h"

namespace check {

std::string OwnVersionText(bool* numbersUnreadable) {
    std::string version = "(unknown)";
    bool unreadable = false;
    CFileVersion file;
    if (file.Open(nullptr)) {
        WORD a = 0, b = 0, c = 0, d = 0;
        if (CFileVersion::GetVersionNumbers(file.GetFileVersion().c_str(), a, b, c, d)) {
            version = std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d);
        } else {
            unreadable = true;
        }
    }
    if (numbersUnreadable != nullptr) *numbersUnreadable = unreadable;
    return version + " (" TRELMARK_BUILD_DATE ")";
}

}  // namespace check
