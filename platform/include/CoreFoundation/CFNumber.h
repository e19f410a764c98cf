/*
 * CFNumber.h — numbers and the two booleans.
 *
 * Contract: a number keeps the value it was created with in the canonical type of the given
 * type (CFNumberGetType reports that: kCFNumberIntType becomes kCFNumberSInt32Type, kCFNumberDoubleType
 * kCFNumberFloat64Type, ...). CFNumberGetValue converts to any type and returns false when the
 * conversion loses information (a fraction, a value out of range, precision): it still writes the
 * converted value, truncated toward zero and clamped to the target's range, as the platform does.
 * Numbers compare equal by numeric value across types (3 equals 3.0).
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

/* Writes the value as theType into valuePtr; true when that is exact (see above). */
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);

CF_EXTERN_C_END

#endif /* PELIO_PLATFORM_CFNUMBER_H */
