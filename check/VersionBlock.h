// The program's version block, described from the same values as the
// Windows resource.
#pragma once

#include "check/Version.h"
#include "platform/posix/VersionBlockWriter.h"

namespace check {

constexpr posix::VersionString kVersionStrings[] = {
    {"CompanyName", TRELMARK_COMPANY_NAME},
    {"FileDescription", TRELMARK_FILE_DESCRIPTION},
    {"FileVersion", TRELMARK_VERSION_TEXT},
    {"InternalName", TRELMARK_INTERNAL_NAME},
    {"LegalCopyright", TRELMARK_LEGAL_COPYRIGHT},
    {"OriginalFilename", TRELMARK_ORIGINAL_FILENAME},
    {"ProductName", TRELMARK_PRODUCT_NAME},
    {"ProductVersion", TRELMARK_VERSION_TEXT},
    {"ContactName", TRELMARK_CONTACT_NAME},
    {"ContactEmail", TRELMARK_CONTACT_EMAIL},
    {"ContactWeb", TRELMARK_CONTACT_WEB},
    {"ContactIssues", TRELMARK_CONTACT_ISSUES},
    {"ContactSupport", TRELMARK_CONTACT_SUPPORT},
};

constexpr uint32_t kLangCharset = (uint32_t{TRELMARK_LANGUAGE} << 16) | TRELMARK_CODEPAGE;
constexpr posix::VersionStringTable kVersionTables[] = {
    {kLangCharset, kVersionStrings, sizeof kVersionStrings / sizeof kVersionStrings[0]}};
constexpr uint32_t kTranslations[] = {kLangCharset};

constexpr DWORD kVersionMS = (TRELMARK_VERSION_MAJOR << 16) | TRELMARK_VERSION_MINOR;
constexpr DWORD kVersionLS = (TRELMARK_VERSION_PATCH << 16) | TRELMARK_VERSION_BUILD;

constexpr posix::VersionDescription kVersionDescription = {
    {0xFEEF04BDu, 0x00010000u, kVersionMS, kVersionLS, kVersionMS, kVersionLS, TRELMARK_FILEFLAGSMASK,
     TRELMARK_FILEFLAGS, TRELMARK_FILEOS, TRELMARK_FILETYPE, TRELMARK_FILESUBTYPE, 0, 0},
    kVersionTables, 1, kTranslations, 1};

constexpr posix::VersionBlockWriter<4096> kVersionWriter(kVersionDescription);

}  // namespace check
