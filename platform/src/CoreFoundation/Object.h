// Object.h — the common base of every CoreFoundation object of the substitute.
//
// Every public reference (CFStringRef, CFNumberRef, ...) points to an object of a final class
// derived from cf::Object, whose base lies at the start of the object, so a CFTypeRef converts
// back to the base and, after a check of the type ID, down to the family's class.
//
// Guarantees: the reference count is atomic, so retain and release may race freely; the object is
// destroyed by the release that takes the count from 1 to 0, after every earlier change to it by
// other threads is visible (acquire-release ordering). Immortal objects (constants) ignore retain
// and release and are never destroyed. Misuse — a NULL reference, a reference of the wrong type,
// a release of a destroyed object when it can still be seen — is reported and aborts.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>

namespace cf {

// Type IDs of the families; 0 names no type.
enum TypeID : CFTypeID {
    kBooleanTypeID = 1,
    kNumberTypeID,
    kStringTypeID,
    kDataTypeID,
    kURLTypeID,
    kUUIDTypeID,
    kArrayTypeID,
    kDictionaryTypeID,
};

// The count that immortal objects report: larger than any real count.
inline constexpr CFIndex kImmortalRetainCount = static_cast<CFIndex>(~0UL >> 1);

class Object {
public:
    enum class Lifetime { Counted, Immortal };

    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    CFTypeID GetTypeID() const { return typeID_; }
    bool IsImmortal() const { return lifetime_ == Lifetime::Immortal; }

    void Retain() const;
    // Destroys the object when this was the last reference.
    void Release() const;
    CFIndex GetRetainCount() const;

    // Value equality with another object of the same type ID.
    virtual bool Equals(const Object& other) const = 0;
    // Consistent with Equals.
    virtual CFHashCode Hash() const = 0;
    // A new, owned deep copy for CFPropertyListCreateDeepCopy, or NULL when this object or
    // something inside it is not a property-list value.
    virtual CFTypeRef CopyPropertyList(CFOptionFlags mutability) const;
    // Whether this object, and everything inside it, is a property-list value that format holds.
    virtual bool IsPropertyList(CFPropertyListFormat format) const;

protected:
    constexpr Object(CFTypeID typeID, Lifetime lifetime) : typeID_(typeID), lifetime_(lifetime) {}
    virtual ~Object() = default;

private:
    const CFTypeID typeID_;
    const Lifetime lifetime_;
    mutable std::atomic<CFIndex> retainCount_{1};
};

// Reports a programming error of the caller of function and aborts.
[[noreturn]] void Fail(const char* function, const char* problem);

// The object behind a reference; aborts on NULL.
const Object& ObjectOf(CFTypeRef ref, const char* function);

// The object behind a typed reference, checked to be of the family's class T (which names its
// kTypeID); aborts on NULL or on an object of another type.
template <class T>
const T& Checked(const T* ref, const char* function) {
    // Through the base first: the pointer may name an object of another class.
    const Object& object = ObjectOf(static_cast<CFTypeRef>(ref), function);
    if (object.GetTypeID() != T::kTypeID) Fail(function, "the reference names an object of another type");
    return static_cast<const T&>(object);
}

// As Checked, for the functions that change an object; whether this object may change is for the
// family to check.
template <class T>
T& CheckedMutable(T* ref, const char* function) {
    return const_cast<T&>(Checked<T>(ref, function));
}

// Holds a constant object in static storage and never destroys it, so that static destructors of
// other units may still use it at exit. Constructed at compile time when T's constructor allows.
template <class T>
union Immortal {
    T value;
    template <class... Arguments>
    constexpr explicit Immortal(Arguments&&... arguments) : value(static_cast<Arguments&&>(arguments)...) {}
    ~Immortal() {}
};

}  // namespace cf
