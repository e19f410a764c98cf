/*
 * CFUUID.h — 128-bit universally unique identifiers.
 *
 * Contract: CFUUIDGetConstantUUIDWithBytes returns, for the same 16 bytes, always the same object,
 * which lives until the process ends and is not owned by the caller (releasing it does nothing).
 * The Create functions return a reference that the caller owns and releases: here always a new
 * object, while the platform returns the constant object when one with the same bytes exists.
 * UUIDs compare equal by their bytes: compare them with CFEqual, never by pointer. Any thread may call any function; the constant table takes a lock, creation allocates.
 */
#ifndef PELIO_PLATFORM_CFUUID_H
#define PELIO_PLATFORM_CFUUID_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFUUID* CFUUIDRef;

/* The bytes in order, most significant first; passed by value. */
typedef struct {
    UInt8 byte0;
    UInt8 byte1;
    UInt8 byte2;
    UInt8 byte3;
    UInt8 byte4;
    UInt8 byte5;
    UInt8 byte6;
    UInt8 byte7;
    UInt8 byte8;
    UInt8 byte9;
    UInt8 byte10;
    UInt8 byte11;
    UInt8 byte12;
    UInt8 byte13;
    UInt8 byte14;
    UInt8 byte15;
} CFUUIDBytes;

CFTypeID CFUUIDGetTypeID(void);

/* A new random (version 4) UUID. */
CFUUIDRef CFUUIDCreate(CFAllocatorRef alloc);

CFUUIDRef CFUUIDCreateWithBytes(CFAllocatorRef alloc, UInt8 byte0, UInt8 byte1, UInt8 byte2, UInt8 byte3,
                                UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7, UInt8 byte8,
                                UInt8 byte9, UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13,
                                UInt8 byte14, UInt8 byte15);

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef alloc, CFUUIDBytes bytes);

/* The interned constant for these bytes; see above. */
CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef alloc, UInt8 byte0, UInt8 byte1, UInt8 byte2,
                                         UInt8 byte3, UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7,
                                         UInt8 byte8, UInt8 byte9, UInt8 byte10, UInt8 byte11,
                                         UInt8 byte12, UInt8 byte13, UInt8 byte14, UInt8 byte15);

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);

/* A new string of the form "443ABAB8-E7B3-491A-B985-BEB9187030DB" (upper-case hex digits). */
CFStringRef CFUUIDCreateString(CFAllocatorRef alloc, CFUUIDRef uuid);

CF_EXTERN_C_END

#endif /* PELIO_PLATFORM_CFUUID_H */
