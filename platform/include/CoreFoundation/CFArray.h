/*
 * CFArray.h — ordered lists of values.
 *
 * Contract: an array treats its values through its callbacks: with kCFTypeArrayCallBacks it
 * retains every value it holds and releases it when removed or when the array is destroyed, and
 * compares values with CFEqual; with NULL callbacks it stores plain pointers and compares them by
 * address. An immutable array may be read from any thread; a mutable one by one thread at a time.
 * Indices out of range are programming errors and abort. Creation and appending allocate.
 */
#ifndef PELIO_PLATFORM_CFARRAY_H
#define PELIO_PLATFORM_CFARRAY_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const void* (*CFArrayRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFArrayReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFArrayCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFArrayEqualCallBack)(const void* value1, const void* value2);

typedef struct {
    CFIndex version;
    CFArrayRetainCallBack retain;
    CFArrayReleaseCallBack release;
    CFArrayCopyDescriptionCallBack copyDescription;
    CFArrayEqualCallBack equal;
} CFArrayCallBacks;

/* Retain, release and CFEqual: the callbacks for arrays of objects. */
extern const CFArrayCallBacks kCFTypeArrayCallBacks;

typedef const struct __CFArray* CFArrayRef;
typedef struct __CFArray* CFMutableArrayRef;

CFTypeID CFArrayGetTypeID(void);

/* A new array of numValues values, handled through callBacks (copied; may be NULL). */
CFArrayRef CFArrayCreate(CFAllocatorRef allocator, const void** values, CFIndex numValues,
                         const CFArrayCallBacks* callBacks);

/* A new immutable array with the same values and callbacks. */
CFArrayRef CFArrayCreateCopy(CFAllocatorRef allocator, CFArrayRef theArray);

/* An empty mutable array; capacity is a hint, 0 for no limit. */
CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity, const CFArrayCallBacks* callBacks);

CFIndex CFArrayGetCount(CFArrayRef theArray);

/* The value at idx, not retained for the caller. */
const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);

void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value);

void CFArrayRemoveValueAtIndex(CFMutableArrayRef theArray, CFIndex idx);

void CFArrayRemoveAllValues(CFMutableArrayRef theArray);

CF_EXTERN_C_END

#endif /* PELIO_PLATFORM_CFARRAY_H */
