/* The programs' version values: the one source of both the Windows
   resources (VersionInfo.rc) and the Linux version blocks. Plain defines only,
   so that the resource compiler can read them too. */
#ifndef TRELMARK_CHECK_VERSION_H
#define TRELMARK_CHECK_VERSION_H

#define TRELMARK_VERSION_MAJOR 1
#define TRELMARK_VERSION_MINOR 0
#define TRELMARK_VERSION_PATCH 0
#define TRELMARK_VERSION_BUILD 54
#define TRELMARK_VERSION_COMMAS 1,0,0,54
#define TRELMARK_VERSION_TEXT "1, 0, 0, 54"

/* Language U.S. English, code page 1200 (UTF-16). */
#define TRELMARK_LANGUAGE 0x0409
#define TRELMARK_CODEPAGE 0x04B0
#define TRELMARK_STRING_TABLE "040904b0"

#define TRELMARK_FILEFLAGSMASK 0x1FL
#define TRELMARK_FILEFLAGS 0x0L
#define TRELMARK_FILEOS 0x4L
#define TRELMARK_FILETYPE 0x1L
#define TRELMARK_FILESUBTYPE 0x0L

/* Per program: description, internal name, original file name. */
#define TRELMARK_FILE_DESCRIPTION "Trelmark64 process memory check"
#define TRELMARK_INTERNAL_NAME "Trelmark64"
#define TRELMARK_ORIGINAL_FILENAME "Trelmark64.exe"
#define TRELMARK_PLUGIN_FILE_DESCRIPTION "Trelmark64 monitoring plugin"
#define TRELMARK_PLUGIN_INTERNAL_NAME "check_trelmark"
#define TRELMARK_PLUGIN_ORIGINAL_FILENAME "check_trelmark.exe"

#define TRELMARK_COMPANY_NAME "Trelmark64 developers"
#define TRELMARK_LEGAL_COPYRIGHT "Copyright (C) 2026 the Trelmark64 developers"
#define TRELMARK_PRODUCT_NAME "Trelmark64"
#define TRELMARK_CONTACT_NAME "Trelmark64 maintainers"
#define TRELMARK_CONTACT_EMAIL "maintainers@trelmark64.invalid"
#define TRELMARK_CONTACT_WEB "https://trelmark64.invalid/"
#define TRELMARK_CONTACT_ISSUES "https://trelmark64.invalid/issues"
#define TRELMARK_CONTACT_SUPPORT "Report problems through the issue tracker"

#endif
