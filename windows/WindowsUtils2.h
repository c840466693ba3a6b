// Handle test and closing, and the sentry that owns a handle.
#pragma once

#include "keel/Sentry.h"
#include "platform/Win32.h"

namespace Windows {

// True for a live handle: one the system can give flags for.
bool IsValidHandle(HANDLE handle);

// Closes `handle`; a refused close is reported, never thrown.
bool CloseHandle(HANDLE handle);

class HandleSentry : public Keel::Sentry<HANDLE> {
public:
    explicit HandleSentry(HANDLE handle, bool owns = true) : Keel::Sentry<HANDLE>(handle, owns) {}
    void ReleaseValue(HANDLE& handle) override;
    ~HandleSentry() override;
};

}  // namespace Windows
