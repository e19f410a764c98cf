/*
 * CFDictionary.h — maps from keys to values.
 *
 * Contract: a dictionary treats keys and values through its callbacks: with
 * kCFTypeDictionaryKeyCallBacks and kCFTypeDictionaryValueCallBacks it retains what it holds,
 * releases it when replaced, removed or destroyed, and finds keys by CFEqual; with NULL callbacks
 * it stores plain pointers and finds keys by address. Keys keep the order of first insertion.
 * Lookups are linear in the number of entries, which suits property lists of a few keys.
 * An immutable dictionary may be read from any thread; a mutable one by one thread at a time.
 * Creation and insertion allocate.
 */
#ifndef PELIO_PLATFORM_CFDICTIONARY_H
#define PELIO_PLATFORM_CFDICTIONARY_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const void* (*CFDictionaryRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFDictionaryReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFDictionaryCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFDictionaryEqualCallBack)(const void* value1, const void* value2);
typedef CFHashCode (*CFDictionaryHashCallBack)(const void* value);

typedef struct {
    CFIndex version;
    CFDictionaryRetainCallBack retain;
    CFDictionaryReleaseCallBack release;
    CFDictionaryCopyDescriptionCallBack copyDescription;
    CFDictionaryEqualCallBack equal;
    CFDictionaryHashCallBack hash;
} CFDictionaryKeyCallBacks;

typedef struct {
    CFIndex version;
    CFDictionaryRetainCallBack retain;
    CFDictionaryReleaseCallBack release;
    CFDictionaryCopyDescriptionCallBack copyDescription;
    CFDictionaryEqualCallBack equal;
} CFDictionaryValueCallBacks;

/* Retain, release, CFEqual and CFHash: the callbacks for keys and values that are objects. */
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;

typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;

CFTypeID CFDictionaryGetTypeID(void);

/* A new dictionary of numValues pairs keys[i] -> values[i]; a repeated key keeps the last value
   here and the first one on the platform: pass distinct keys. */
CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void** keys, const void** values, CFIndex numValues,
                                   const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks);

/* A new immutable dictionary with the same entries and callbacks. */
CFDictionaryRef CFDictionaryCreateCopy(CFAllocatorRef allocator, CFDictionaryRef theDict);

/* An empty mutable dictionary; capacity is a hint, 0 for no limit. */
CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks);

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict);

/* The value for key, not retained for the caller, or NULL when the key is absent. */
const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key);

/* Like CFDictionaryGetValue, but tells an absent key from a NULL value; value may be NULL. */
Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef theDict, const void* key, const void** value);

Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void* key);

/* Copies the keys and values, in the same order, into arrays of CFDictionaryGetCount entries;
   either may be NULL. Nothing is retained for the caller. */
void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values);

/* Adds the pair, or replaces the value of an existing equal key (the stored key stays). */
void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value);

/* Adds the pair only if the key is absent. */
void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void* key, const void* value);

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void* key);

void CFDictionaryRemoveAllValues(CFMutableDictionaryRef theDict);

CF_EXTERN_C_END

#endif /* PELIO_PLATFORM_CFDICTIONARY_H */
