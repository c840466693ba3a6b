// Reads the version-information resource of an executable file.
// Failures show in the results (0, false, empty text), never as exceptions.
#pragma once

#include <string>

#include "platform/Win32.h"

class CFileVersion {
public:
    CFileVersion();
    ~CFileVersion();
    CFileVersion(const CFileVersion&) = delete;  // the block is owned: a copy must not share it
    CFileVersion& operator=(const CFileVersion&) = delete;

    // Hook kept for the framework's diagnostic dumps; does nothing.
    virtual void Dump(void* context) const;
    virtual bool IsOpen() const;

    // NULL or "" opens the running program's own file. A name that does not
    // fit MAX_PATH is refused (0).
    BOOL Open(LPCSTR fileName);
    void Close();

    // The key's text under `langCharset` (0: the translation Open found).
    std::string QueryValue(LPCSTR keyName, DWORD langCharset = 0);
    std::string GetFileVersion() { return QueryValue("FileVersion", 0); }

    // Reads "a, b, c, d" as sscanf("%d, %d, %d, %d") does, each number cut to
    // its low 16 bits; false when fewer than four numbers stand there.
    static bool GetVersionNumbers(LPCSTR text, WORD& first, WORD& second, WORD& third, WORD& fourth);

private:
    LPBYTE m_lpVersionData;
    DWORD m_dwLangCharset;
};
