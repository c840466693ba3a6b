#include "keel/Error.h"

#include <cinttypes>
#include <cstdio>

#include "Common/LogTrace.h"

namespace Keel {

void Object::ToString(std::string& text) const {
    char address[32];
    std::snprintf(address, sizeof address, "0x%x",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(this) & 0xFFFFFFFFu));
    text = "Keel::Object: [";
    text += address;
    text += "]";
}

std::string Object::ToString() const {
    std::string text;
    ToString(text);
    return text;
}

Error::Error(const char* message, bool fatal, int32_t code, uint64_t data)
    : message(message ? message : ""), fatal(fatal), code(code), data(data) {}

Error::Error(const std::string& message, bool fatal, int32_t code, uint64_t data)
    : message(message), fatal(fatal), code(code), data(data) {}

void Error::Reset() { *this = Error(); }

void Error::Dump(const char* prefix) const {
    LogTrace::Trace("%s{%d, %sfatal} [%s]\n", prefix ? prefix : "", static_cast<int>(code), fatal ? "" : "not ",
                    message.c_str());
}

}  // namespace Keel
