// Scope owners of platform resources.
#pragma once

namespace Keel {

// Holds one resource value (a handle or pointer whose null value means "none")
// and releases it on every way out of the owning scope. A concrete sentry
// supplies ReleaseValue and, in its own destructor, releases an owned value:
// the base destructor cannot, because the derived part is gone by then.
template <typename T>
class Sentry {
public:
    Sentry(T value, bool owns) : owns(owns), value(value) {}
    Sentry(const Sentry&) = delete;  // two owners would release twice
    Sentry& operator=(const Sentry&) = delete;

    bool& Owns() { return owns; }
    bool Owns() const { return owns; }
    T Value() const { return value; }

    virtual void Release() {
        ReleaseValue(value);
        value = T();
    }
    virtual void ReleaseValue(T& value) = 0;
    virtual ~Sentry() {}

protected:
    bool owns;
    T value;
};

}  // namespace Keel
