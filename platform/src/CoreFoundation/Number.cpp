// Numbers and the two booleans.
//
// A number keeps a signed 64-bit integer or a double (a Float32 is exact in a double) together
// with its canonical type. A read reports, as the platform's does, whether the written value
// still equals the stored one. What a lossy read writes is this substitute's own choice: truncated
// toward zero and clamped to the target's range, NaN as 0, where the platform's plain C cast would
// be undefined in C++. Callers never read it.
#include "Object.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>

struct __CFBoolean final : cf::Object {
    static constexpr CFTypeID kTypeID = cf::kBooleanTypeID;

    constexpr explicit __CFBoolean(bool truth) : Object(kTypeID, Lifetime::Immortal), value(truth) {}

    bool Equals(const Object& other) const override { return value == static_cast<const __CFBoolean&>(other).value; }
    CFHashCode Hash() const override { return value ? 1 : 0; }
    // The two booleans are singletons: a copy is the same object.
    CFTypeRef CopyPropertyList(CFOptionFlags) const override { return CFRetain(this); }
    // The OpenStep format has no booleans.
    bool IsPropertyList(CFPropertyListFormat format) const override { return format != kCFPropertyListOpenStepFormat; }

    const bool value;
};

namespace {

// Constant-initialised, so other units may use the booleans during their static initialisation.
constinit cf::Immortal<__CFBoolean> trueBoolean(true);
constinit cf::Immortal<__CFBoolean> falseBoolean(false);

// The type in which a number of the given type is stored and reported; 0 for no valid type.
CFNumberType CanonicalType(CFNumberType type) {
    switch (type) {
        case kCFNumberSInt8Type:
        case kCFNumberCharType: return kCFNumberSInt8Type;
        case kCFNumberSInt16Type:
        case kCFNumberShortType: return kCFNumberSInt16Type;
        case kCFNumberSInt32Type:
        case kCFNumberIntType: return kCFNumberSInt32Type;
        case kCFNumberSInt64Type:
        case kCFNumberLongType:
        case kCFNumberLongLongType:
        case kCFNumberCFIndexType:
        case kCFNumberNSIntegerType: return kCFNumberSInt64Type;
        case kCFNumberFloat32Type:
        case kCFNumberFloatType: return kCFNumberFloat32Type;
        case kCFNumberFloat64Type:
        case kCFNumberDoubleType:
        case kCFNumberCGFloatType: return kCFNumberFloat64Type;
    }
    return CFNumberType(0);
}

bool IsFloat(CFNumberType canonical) { return canonical == kCFNumberFloat32Type || canonical == kCFNumberFloat64Type; }

CFIndex ByteSize(CFNumberType canonical) {
    switch (canonical) {
        case kCFNumberSInt8Type: return 1;
        case kCFNumberSInt16Type: return 2;
        case kCFNumberSInt32Type:
        case kCFNumberFloat32Type: return 4;
        default: return 8;
    }
}

template <class T>
void Store(void* destination, T value) {
    std::memcpy(destination, &value, sizeof value);
}

template <class T>
T Load(const void* source) {
    T value;
    std::memcpy(&value, source, sizeof value);
    return value;
}

// Integer to a narrower or equal integer type: clamped; exact when in range.
template <class T>
bool IntegerToInteger(SInt64 value, void* destination) {
    constexpr SInt64 lowest = std::numeric_limits<T>::min();
    constexpr SInt64 highest = std::numeric_limits<T>::max();
    Store<T>(destination, T(value < lowest ? lowest : value > highest ? highest : value));
    return value >= lowest && value <= highest;
}

// Float to integer: truncated toward zero, clamped, NaN as 0; exact when nothing was cut off.
template <class T>
bool FloatToInteger(double value, void* destination) {
    // Both bounds are powers of two, so they are exact doubles; the upper one is exclusive.
    constexpr double lowest = double(std::numeric_limits<T>::min());
    constexpr double beyondHighest = -lowest;
    if (std::isnan(value)) {
        Store<T>(destination, T(0));
        return false;
    }
    if (value < lowest) {
        Store<T>(destination, std::numeric_limits<T>::min());
        return false;
    }
    if (value >= beyondHighest) {
        Store<T>(destination, std::numeric_limits<T>::max());
        return false;
    }
    const T truncated = T(value);
    Store<T>(destination, truncated);
    return double(truncated) == value;
}

// Integer to float: rounded to nearest; exact when the float converts back to the same integer.
template <class T>
bool IntegerToFloat(SInt64 value, void* destination) {
    const T converted = T(value);
    Store<T>(destination, converted);
    // 2^63 is the first float above every SInt64 and cannot be converted back.
    if (double(converted) >= 9223372036854775808.0) return false;
    return SInt64(converted) == value;
}

// Double to Float32: rounded, clamped to the finite range; NaN and infinities carry over exactly.
bool DoubleToFloat32(double value, void* destination) {
    if (std::isnan(value) || std::isinf(value)) {
        Store<Float32>(destination, Float32(value));
        return true;
    }
    if (std::fabs(value) > double(FLT_MAX)) {
        Store<Float32>(destination, value < 0 ? -FLT_MAX : FLT_MAX);
        return false;
    }
    const Float32 converted = Float32(value);
    Store<Float32>(destination, converted);
    return double(converted) == value;
}

// Whether a double holds exactly an SInt64 value, which it then gives.
bool AsExactInteger(double value, SInt64& integer) {
    if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0) || std::trunc(value) != value) return false;
    integer = SInt64(value);
    return true;
}

}  // namespace

struct __CFNumber final : cf::Object {
    static constexpr CFTypeID kTypeID = cf::kNumberTypeID;

    __CFNumber(CFNumberType canonicalType, SInt64 integerValue, double floatValue)
        : Object(kTypeID, Lifetime::Counted), type(canonicalType), integer(integerValue), real(floatValue) {}

    bool IsFloatType() const { return IsFloat(type); }

    // Numeric equality across types; a NaN equals a NaN, so that a property list equals its copy.
    bool Equals(const Object& other) const override {
        const auto& that = static_cast<const __CFNumber&>(other);
        if (!IsFloatType() && !that.IsFloatType()) return integer == that.integer;
        if (IsFloatType() && that.IsFloatType()) return real == that.real || (std::isnan(real) && std::isnan(that.real));
        const double floatValue = IsFloatType() ? real : that.real;
        const SInt64 integerValue = IsFloatType() ? that.integer : integer;
        SInt64 exact = 0;
        return AsExactInteger(floatValue, exact) && exact == integerValue;
    }

    // Integral floats hash as the integer they equal.
    CFHashCode Hash() const override {
        SInt64 exact = integer;
        if (!IsFloatType() || AsExactInteger(real, exact)) return std::hash<SInt64>{}(exact);
        return std::isnan(real) ? 0 : std::hash<double>{}(real);
    }

    CFTypeRef CopyPropertyList(CFOptionFlags) const override { return new __CFNumber(type, integer, real); }
    // The OpenStep format has no numbers.
    bool IsPropertyList(CFPropertyListFormat format) const override { return format != kCFPropertyListOpenStepFormat; }

    // Writes the value as the canonical type target; true when exact.
    bool Read(CFNumberType target, void* destination) const {
        if (IsFloatType()) {
            switch (target) {
                case kCFNumberSInt8Type: return FloatToInteger<SInt8>(real, destination);
                case kCFNumberSInt16Type: return FloatToInteger<SInt16>(real, destination);
                case kCFNumberSInt32Type: return FloatToInteger<SInt32>(real, destination);
                case kCFNumberSInt64Type: return FloatToInteger<SInt64>(real, destination);
                case kCFNumberFloat32Type: return DoubleToFloat32(real, destination);
                default: Store<Float64>(destination, real); return true;
            }
        }
        switch (target) {
            case kCFNumberSInt8Type: return IntegerToInteger<SInt8>(integer, destination);
            case kCFNumberSInt16Type: return IntegerToInteger<SInt16>(integer, destination);
            case kCFNumberSInt32Type: return IntegerToInteger<SInt32>(integer, destination);
            case kCFNumberSInt64Type: Store<SInt64>(destination, integer); return true;
            case kCFNumberFloat32Type: return IntegerToFloat<Float32>(integer, destination);
            default: return IntegerToFloat<Float64>(integer, destination);
        }
    }

    const CFNumberType type;
    const SInt64 integer;  // when not a float type
    const double real;     // when a float type
};

extern "C" {

const CFBooleanRef kCFBooleanTrue = &trueBoolean.value;
const CFBooleanRef kCFBooleanFalse = &falseBoolean.value;

CFTypeID CFBooleanGetTypeID(void) { return __CFBoolean::kTypeID; }

Boolean CFBooleanGetValue(CFBooleanRef boolean) { return cf::Checked(boolean, "CFBooleanGetValue").value; }

CFTypeID CFNumberGetTypeID(void) { return __CFNumber::kTypeID; }

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr) {
    const CFNumberType type = CanonicalType(theType);
    if (type == CFNumberType(0) || valuePtr == nullptr) return nullptr;
    switch (type) {
        case kCFNumberSInt8Type: return new __CFNumber(type, Load<SInt8>(valuePtr), 0);
        case kCFNumberSInt16Type: return new __CFNumber(type, Load<SInt16>(valuePtr), 0);
        case kCFNumberSInt32Type: return new __CFNumber(type, Load<SInt32>(valuePtr), 0);
        case kCFNumberSInt64Type: return new __CFNumber(type, Load<SInt64>(valuePtr), 0);
        case kCFNumberFloat32Type: return new __CFNumber(type, 0, Load<Float32>(valuePtr));
        default: return new __CFNumber(type, 0, Load<Float64>(valuePtr));
    }
}

CFNumberType CFNumberGetType(CFNumberRef number) { return cf::Checked(number, "CFNumberGetType").type; }

CFIndex CFNumberGetByteSize(CFNumberRef number) { return ByteSize(cf::Checked(number, "CFNumberGetByteSize").type); }

Boolean CFNumberIsFloatType(CFNumberRef number) { return cf::Checked(number, "CFNumberIsFloatType").IsFloatType(); }

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
    const __CFNumber& checked = cf::Checked(number, "CFNumberGetValue");
    const CFNumberType target = CanonicalType(theType);
    if (target == CFNumberType(0) || valuePtr == nullptr) return false;
    return checked.Read(target, valuePtr);
}

}  // extern "C"
