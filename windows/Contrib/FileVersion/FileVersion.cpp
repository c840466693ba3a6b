#include "windows/Contrib/FileVersion/FileVersion.h"

#include <cstdio>
#include <cstring>

#include "Common/Ascii.h"
#include "Common/LogTrace.h"

CFileVersion::CFileVersion() : m_lpVersionData(nullptr), m_dwLangCharset(0) {}

CFileVersion::~CFileVersion() { Close(); }

void CFileVersion::Dump(void*) const {}

bool CFileVersion::IsOpen() const { return m_lpVersionData != nullptr; }

BOOL CFileVersion::Open(LPCSTR fileName) {
    char path[MAX_PATH];
    if (fileName == nullptr || fileName[0] == '\0') {
        const DWORD length = ::GetModuleFileNameA(::GetModuleHandleA(nullptr), path, MAX_PATH);
        // A cut path (length == MAX_PATH) would name another file.
        if (length == 0 || length >= MAX_PATH || path[0] == '\0') return 0;
    } else {
        const size_t length = std::strlen(fileName);
        if (length >= MAX_PATH) return 0;
        std::memcpy(path, fileName, length + 1);
    }

    if (IsOpen()) Close();

    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) return 0;

    m_lpVersionData = new BYTE[size];
    if (!::GetFileVersionInfoA(path, handle, size, m_lpVersionData)) {
        Close();
        return 0;
    }

    LPVOID translation = nullptr;
    UINT length = 0;
    // Anything shorter than one (language, code page) pair is no translation.
    if (!::VerQueryValueA(m_lpVersionData, "\\VarFileInfo\\Translation", &translation, &length) ||
        translation == nullptr || length < 4) {
        Close();
        return 0;
    }
    const WORD* pair = static_cast<const WORD*>(translation);
    m_dwLangCharset = (static_cast<DWORD>(pair[0]) << 16) | pair[1];
    return 1;
}

void CFileVersion::Close() {
    delete[] m_lpVersionData;
    m_lpVersionData = nullptr;
    m_dwLangCharset = 0;
}

std::string CFileVersion::QueryValue(LPCSTR keyName, DWORD langCharset) {
    if (m_lpVersionData == nullptr) {
        // A fixed report identifier (see LogTrace::ReportAssertion).
        LogTrace::ReportAssertion("m_lpVersionData != NULL", ".\\Contrib\\FileVersion\\FileVersion", 92);
        return std::string();
    }
    if (langCharset == 0) langCharset = m_dwLangCharset;

    char query[512];
    const int n = std::snprintf(query, sizeof query, "\\StringFileInfo\\%08lx\\%s",
                                static_cast<unsigned long>(langCharset), keyName ? keyName : "");
    if (n < 0 || static_cast<size_t>(n) >= sizeof query) return std::string();  // no key is that long

    LPVOID value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueA(m_lpVersionData, query, &value, &length) || value == nullptr) return std::string();
    return static_cast<const char*>(value);
}

namespace {

// One "%d": blanks, an optional sign, at least one digit. The value wraps
// modulo 2^32 instead of overflowing: only its low 16 bits are kept anyway.
bool ScanNumber(const char*& p, uint32_t& value) {
    while (Ascii::IsSpace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    value = 0;
    while (*p >= '0' && *p <= '9') value = value * 10u + static_cast<uint32_t>(*p++ - '0');
    if (negative) value = 0u - value;
    return true;
}

}  // namespace

bool CFileVersion::GetVersionNumbers(LPCSTR text, WORD& first, WORD& second, WORD& third, WORD& fourth) {
    if (text == nullptr) return false;
    uint32_t numbers[4];
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        if (!ScanNumber(p, numbers[i])) return false;
        if (i < 3) {
            if (*p++ != ',') return false;  // the comma must follow the number at once
            while (Ascii::IsSpace(*p)) ++p;
        }
    }
    first = static_cast<WORD>(numbers[0]);
    second = static_cast<WORD>(numbers[1]);
    third = static_cast<WORD>(numbers[2]);
    fourth = static_cast<WORD>(numbers[3]);
    return true;
}
