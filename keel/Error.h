// The one exception class of the system.
#pragma once

#include <cstdint>
#include <string>

#include "keel/Object.h"

namespace Keel {

// Thrown by value, caught by const reference. Not derived from
// std::exception on purpose: a handler for std::exception must not take it.
class Error : public Object {
public:
    explicit Error(const char* message = "", bool fatal = false, int32_t code = 0, uint64_t data = 0);
    explicit Error(const std::string& message, bool fatal = false, int32_t code = 0, uint64_t data = 0);
    Error(const Error&) = default;
    Error& operator=(const Error&) = default;
    ~Error() = default;

    const char* Message() const { return message.c_str(); }
    bool Fatal() const { return fatal; }
    int32_t Code() const { return code; }
    uint64_t Data() const { return data; }

    virtual void Reset();
    virtual void Dump(const char* prefix) const;

private:
    std::string message;
    bool fatal;
    int32_t code;
    uint64_t data;  // auxiliary value; stored, copied and reset, never interpreted
};

}  // namespace Keel
