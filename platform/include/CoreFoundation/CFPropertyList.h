/*
 * CFPropertyList.h — property lists: strings, data, numbers, booleans, and arrays and
 * dictionaries (with string keys) of property lists.
 *
 * Contract: a deep copy returns a reference the caller owns. Its containers are new objects, so
 * later changes of the original never reach it. Here its leaves are new objects too, except the
 * booleans, which are singletons and come back retained; the platform returns immutable leaves
 * (strings, data) retained instead of copying them, so never count on a leaf being new. Anything
 * else inside the list (a URL, a UUID, a non-string key) makes the copy fail with NULL. With
 * kCFPropertyListImmutable the containers of the copy are immutable; with either mutable option
 * they are mutable. Allocates. CFPropertyListIsValid answers without copying and allocates nothing.
 */
#ifndef PELIO_PLATFORM_CFPROPERTYLIST_H
#define PELIO_PLATFORM_CFPROPERTYLIST_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

CF_OPTIONS(CFOptionFlags, CFPropertyListMutabilityOptions) {
    kCFPropertyListImmutable = 0,
    kCFPropertyListMutableContainers = 1 << 0,
    kCFPropertyListMutableContainersAndLeaves = 1 << 1
};

CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef allocator, CFPropertyListRef propertyList,
                                               CFOptionFlags mutabilityOption);

CF_ENUM(CFIndex, CFPropertyListFormat) {
    kCFPropertyListOpenStepFormat = 1,
    kCFPropertyListXMLFormat_v1_0 = 100,
    kCFPropertyListBinaryFormat_v1_0 = 200
};

/* Whether plist is, at every depth, a property list that format can hold: strings, data, and
   arrays and dictionaries with string keys of property lists; numbers and booleans too, except in
   the OpenStep format. Walks the whole list; plist must not be NULL. */
Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format);

CF_EXTERN_C_END

#endif /* PELIO_PLATFORM_CFPROPERTYLIST_H */
