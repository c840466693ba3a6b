// Root class of the library's polymorphic objects.
#pragma once

#include <string>

namespace Keel {

class Object {
public:
    Object() = default;
    Object(const Object&) = default;
    Object& operator=(const Object&) = default;

    // Hook for debug-time consistency checks of derived classes; nothing
    // overrides it yet, so it does nothing.
    virtual void AssertValid() const {}

    // Replaces `text` with a description ending in ": [0x<address>]".
    virtual void ToString(std::string& text) const;
    virtual std::string ToString() const;

    // Deliberately no virtual destructor: objects are never deleted through
    // a pointer to this class.
};

}  // namespace Keel
