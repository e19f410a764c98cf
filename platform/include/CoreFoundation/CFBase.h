/*
 * CFBase.h — the base of the CoreFoundation subset: scalar types, the reference types shared by
 * every family, the allocator and the functions that every object answers (retain, release,
 * type, equality, hash).
 *
 * Contract:
 * - Every object is reference counted. Retain and release are atomic and may be called from any
 *   thread at once; an object is destroyed by the release that drops its count to zero.
 * - Constant objects (CFSTR strings, kCFBooleanTrue/kCFBooleanFalse, constant UUIDs) live until
 *   the process ends: retaining and releasing them does nothing, and their retain count reads as a
 *   large constant.
 * - A NULL or already destroyed reference is a programming error. The functions that the platform
 *   lets crash on it report the call on standard error and abort; they never go on silently.
 * - Objects are immutable unless created mutable; an immutable object may be read from any
 *   thread. A mutable container may be changed by one thread at a time, with no concurrent reader.
 * - Objects of equal value may or may not be one object: the platform shares cached numbers,
 *   the empty string and constant UUIDs, and a copy of an immutable object may be the object
 *   itself. Compare with CFEqual, never by pointer, and count references only on objects that no
 *   one else may share (containers, or a value whose release you observe).
 * - Creating objects allocates and takes locks: nothing here is for the real-time IO thread.
 * - The only allocator is the default one; every function accepts NULL or kCFAllocatorDefault.
 */
#ifndef PELIO_PLATFORM_CFBASE_H
#define PELIO_PLATFORM_CFBASE_H

#include <MacTypes.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define CF_EXTERN_C_BEGIN extern "C" {
#define CF_EXTERN_C_END }
#else
#define CF_EXTERN_C_BEGIN
#define CF_EXTERN_C_END
#endif

/* CF_ENUM(type, name) { ... };  a distinct enumeration over a fixed integer type in C++ (a plain
   integer does not convert to it); in C the name is the integer type itself.
   CF_OPTIONS(type, name) { ... };  bit flags: the name is the integer type, so flags combine. */
#ifdef __cplusplus
#define CF_ENUM(type, name) enum name : type
#define CF_OPTIONS(type, name) typedef type name; enum : type
#else
#define CF_ENUM(type, name) typedef type name; enum
#define CF_OPTIONS(type, name) typedef type name; enum
#endif

CF_EXTERN_C_BEGIN

typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef unsigned long CFOptionFlags;
typedef unsigned long CFHashCode;

enum { kCFNotFound = -1 };

/* Any object. In C++ a typed reference converts to it, but not back without a cast. */
typedef const void* CFTypeRef;

typedef const struct __CFString* CFStringRef;
typedef struct __CFString* CFMutableStringRef;

/* A string, data, number, boolean, array or dictionary, or a container of them. */
typedef CFTypeRef CFPropertyListRef;

typedef const struct __CFAllocator* CFAllocatorRef;

/* The default allocator; its value is NULL. */
extern const CFAllocatorRef kCFAllocatorDefault;

typedef struct {
    CFIndex location;
    CFIndex length;
} CFRange;

static inline CFRange CFRangeMake(CFIndex location, CFIndex length) {
    CFRange range;
    range.location = location;
    range.length = length;
    return range;
}

/* Adds one reference and returns the object. */
CFTypeRef CFRetain(CFTypeRef cf);

/* Drops one reference; the last one destroys the object. */
void CFRelease(CFTypeRef cf);

CFIndex CFGetRetainCount(CFTypeRef cf);

CFTypeID CFGetTypeID(CFTypeRef cf);

/* Equality by value: strings by content, numbers by numeric value across types, data by bytes,
   arrays and dictionaries element by element. Objects of different types are never equal. */
Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);

/* A hash consistent with CFEqual. */
CFHashCode CFHash(CFTypeRef cf);

CF_EXTERN_C_END

#endif /* PELIO_PLATFORM_CFBASE_H */
