#pragma once

// hal::CustomProperty: one property that the application adds to an object at run time, whose
// value crosses the host boundary as a single CoreFoundation reference (a string or a property
// list). The object keeps its custom properties by selector and answers the host's property calls
// for them (hal::Object, its fallback operations).
//
// Guarantees: a CustomProperty never changes after creation, so any thread may use it at once.
// The data size is always the size of one CoreFoundation reference (8 bytes).
//
// Values from the host: its 8 bytes may name any object, or none, so the owner checks each with
// AcceptsValue before Set, and a setter only ever receives a reference of its property's type.
//
// Reference counts: the wrappers pass references through untouched. The reference that the getter
// returns goes to the host as it is (the host releases it, so the getter returns one that it owns
// a count for, e.g. a CFRetain of a kept value or a newly created one); the setter receives the
// host's reference without owning it (it retains what it keeps).
//
// Costs: creation allocates the record and the wrapped callables. Get and Set cost one call of the
// application's callable; what that costs is the application's matter.

#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CoreFoundation.h>

#include <cstring>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace hal {

class CustomProperty
{
public:
    // Store one reference into the first kDataSize bytes of the host's output buffer, or read one
    // from its input buffer.
    using Getter = std::function<void(void* outData)>;
    using Setter = std::function<void(const void* inData)>;

    static constexpr UInt32 kDataSize = sizeof(CFTypeRef);
    static_assert(kDataSize == 8, "the host exchanges custom property values as 8-byte references");

    // A property of `dataType` ('cfst' or 'plst') whose value comes from `getter` and goes to
    // `setter` as a T (CFStringRef or CFPropertyListRef). An empty callable leaves that direction
    // unsupported.
    template <class T>
    static std::shared_ptr<CustomProperty> Create(UInt32 dataType, std::function<T()> getter,
                                                  std::function<void(T)> setter);

    CustomProperty(UInt32 dataType, Getter getter, Setter setter);

    UInt32 GetDataType() const noexcept { return mDataType; }
    UInt32 GetDataSize() const noexcept { return mDataSize; }
    bool HasGetter() const noexcept { return static_cast<bool>(mGetter); }
    bool HasSetter() const noexcept { return static_cast<bool>(mSetter); }

    // Requires HasGetter() and an output buffer of at least GetDataSize() bytes.
    void Get(void* outData) const;

    // Whether the reference in `inData` (GetDataSize() bytes) is a value of the property's type:
    // a CFString for 'cfst', a property list (at every depth) for any other data type. Null is
    // none. Reading a property list walks all of it.
    bool AcceptsValue(const void* inData) const;

    // Requires HasSetter(), an input buffer of GetDataSize() bytes and AcceptsValue(inData).
    void Set(const void* inData) const;

private:
    const UInt32 mDataType;
    const UInt32 mDataSize = kDataSize;
    const Getter mGetter;
    const Setter mSetter;
};

template <class T>
std::shared_ptr<CustomProperty> CustomProperty::Create(UInt32 dataType, std::function<T()> getter,
                                                       std::function<void(T)> setter)
{
    static_assert(std::is_same_v<T, CFStringRef> || std::is_same_v<T, CFPropertyListRef>,
                  "custom properties carry a CFStringRef or a CFPropertyListRef");
    static_assert(sizeof(T) == kDataSize);

    Getter untypedGetter;
    if (getter) {
        untypedGetter = [typedGetter = std::move(getter)](void* outData) {
            const T value = typedGetter();
            // The buffer is the host's and need not be aligned for a pointer.
            std::memcpy(outData, &value, sizeof value);
        };
    }
    Setter untypedSetter;
    if (setter) {
        untypedSetter = [typedSetter = std::move(setter)](const void* inData) {
            T value;
            std::memcpy(&value, inData, sizeof value);
            typedSetter(value);
        };
    }
    return std::make_shared<CustomProperty>(dataType, std::move(untypedGetter), std::move(untypedSetter));
}

} // namespace hal
