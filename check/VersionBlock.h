// The programs' version blocks, described from the same values as their
// Windows resources.
#pragma once

#include <array>

#include "check/Version.h"
#include "platform/linux/VersionBlockWriter.h"

namespace check {

constexpr std::array<linuxapi::VersionString, 13> VersionStrings(const char* description, const char* internalName,
                                                              const char* originalFilename) {
    return {{
        {"CompanyName", TRELMARK_COMPANY_NAME},
        {"FileDescription", description},
        {"FileVersion", TRELMARK_VERSION_TEXT},
        {"InternalName", internalName},
        {"LegalCopyright", TRELMARK_LEGAL_COPYRIGHT},
        {"OriginalFilename", originalFilename},
        {"ProductName", TRELMARK_PRODUCT_NAME},
        {"ProductVersion", TRELMARK_VERSION_TEXT},
        {"ContactName", TRELMARK_CONTACT_NAME},
        {"ContactEmail", TRELMARK_CONTACT_EMAIL},
        {"ContactWeb", TRELMARK_CONTACT_WEB},
        {"ContactIssues", TRELMARK_CONTACT_ISSUES},
        {"ContactSupport", TRELMARK_CONTACT_SUPPORT},
    }};
}

constexpr uint32_t kLangCharset = (uint32_t{TRELMARK_LANGUAGE} << 16) | TRELMARK_CODEPAGE;
constexpr uint32_t kTranslations[] = {kLangCharset};

constexpr DWORD kVersionMS = (TRELMARK_VERSION_MAJOR << 16) | TRELMARK_VERSION_MINOR;
constexpr DWORD kVersionLS = (TRELMARK_VERSION_PATCH << 16) | TRELMARK_VERSION_BUILD;

constexpr linuxapi::VersionDescription Describe(const linuxapi::VersionStringTable* table) {
    return {{0xFEEF04BDu, 0x00010000u, kVersionMS, kVersionLS, kVersionMS, kVersionLS, TRELMARK_FILEFLAGSMASK,
             TRELMARK_FILEFLAGS, TRELMARK_FILEOS, TRELMARK_FILETYPE, TRELMARK_FILESUBTYPE, 0, 0},
            table, 1, kTranslations, 1};
}

constexpr auto kCheckStrings =
    VersionStrings(TRELMARK_FILE_DESCRIPTION, TRELMARK_INTERNAL_NAME, TRELMARK_ORIGINAL_FILENAME);
constexpr linuxapi::VersionStringTable kCheckTables[] = {{kLangCharset, kCheckStrings.data(), kCheckStrings.size()}};
constexpr linuxapi::VersionDescription kVersionDescription = Describe(kCheckTables);

constexpr auto kPluginStrings = VersionStrings(TRELMARK_PLUGIN_FILE_DESCRIPTION, TRELMARK_PLUGIN_INTERNAL_NAME,
                                               TRELMARK_PLUGIN_ORIGINAL_FILENAME);
constexpr linuxapi::VersionStringTable kPluginTables[] = {{kLangCharset, kPluginStrings.data(), kPluginStrings.size()}};
constexpr linuxapi::VersionDescription kPluginVersionDescription = Describe(kPluginTables);

}  // namespace check
