/*
 * CFNumber.h — numbers and the two booleans.
 *
 * Contract: a number keeps the value it was created with in the canonical type of the given
 * type (CFNumberGetType reports that: kCFNumberIntType becomes kCFNumberSInt32Type, kCFNumberDoubleType
 * kCFNumberFloat64Type, ...; the platform may report a smaller type for a small value, so read
 * with CFNumberGetValue in the type you need rather than rely on the stored one).
 * CFNumberGetValue converts to any type and returns false when the conversion loses information
 * (a fraction, a value out of range, precision). What it writes then is not the value: the
 * platform writes a plain C cast, whose result differs between processors; here it is truncated
 * toward zero and clamped to the target's range, NaN as 0. Never read the value after false.
 * Numbers compare equal by numeric value across types (3 equals 3.0; here 0.0 also equals -0.0,
 * which the platform does not promise).
 * Every CFNumberCreate here makes a new object. The platform hands out shared cached objects for
 * small values (-1 to 12, 0.0, 1.0, NaN, the infinities) and may use tagged pointers: a number's
 * retain count means nothing there, and numbers are compared only with CFEqual. A cache here
 * would give callers nothing they may rely on, so there is none.
 * kCFBooleanTrue and kCFBooleanFalse are the only boolean objects; they are never destroyed.
 * Numbers are immutable and may be read from any thread; creation allocates.
 */
#ifndef PELIO_PLATFORM_CFNUMBER_H
#define PELIO_PLATFORM_CFNUMBER_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFBoolean* CFBooleanRef;

extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;

CFTypeID CFBooleanGetTypeID(void);

Boolean CFBooleanGetValue(CFBooleanRef boolean);

CF_ENUM(CFIndex, CFNumberType) {
    kCFNumberSInt8Type = 1,
    kCFNumberSInt16Type = 2,
    kCFNumberSInt32Type = 3,
    kCFNumberSInt64Type = 4,
    kCFNumberFloat32Type = 5,
    kCFNumberFloat64Type = 6,
    kCFNumberCharType = 7,
    kCFNumberShortType = 8,
    kCFNumberIntType = 9,
    kCFNumberLongType = 10,
    kCFNumberLongLongType = 11,
    kCFNumberFloatType = 12,
    kCFNumberDoubleType = 13,
    kCFNumberCFIndexType = 14,
    kCFNumberNSIntegerType = 15,
    kCFNumberCGFloatType = 16,
    kCFNumberMaxType = 16
};

typedef const struct __CFNumber* CFNumberRef;

CFTypeID CFNumberGetTypeID(void);

/* A new number from the value that valuePtr points to, read as theType; NULL for an unknown type
   or a NULL valuePtr. */
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void* valuePtr);

CFNumberType CFNumberGetType(CFNumberRef number);

/* The size in bytes of the number's canonical type. */
CFIndex CFNumberGetByteSize(CFNumberRef number);

Boolean CFNumberIsFloatType(CFNumberRef number);

/* Writes the value as theType into valuePtr; true when that is exact. After false the value
   written means nothing (see above). */
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);

CF_EXTERN_C_END

#endif /* PELIO_PLATFORM_CFNUMBER_H */
