/*
 * CFData.h — byte buffers.
 *
 * Contract: an immutable data object owns a copy of its bytes and may be read from any thread.
 * A mutable one grows on demand; its byte pointer stays valid until the next change. Empty data
 * is valid; its byte pointer may be NULL. Creation and growth allocate.
 */
#ifndef PELIO_PLATFORM_CFDATA_H
#define PELIO_PLATFORM_CFDATA_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFData* CFDataRef;
typedef struct __CFData* CFMutableDataRef;

CFTypeID CFDataGetTypeID(void);

/* A new data object with a copy of length bytes; bytes may be NULL when length is 0. NULL for a
   negative length or NULL bytes with a positive length. */
CFDataRef CFDataCreate(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length);

CFDataRef CFDataCreateCopy(CFAllocatorRef allocator, CFDataRef theData);

/* An empty mutable data object; capacity is a hint, 0 for no limit. */
CFMutableDataRef CFDataCreateMutable(CFAllocatorRef allocator, CFIndex capacity);

CFIndex CFDataGetLength(CFDataRef theData);

const UInt8* CFDataGetBytePtr(CFDataRef theData);

UInt8* CFDataGetMutableBytePtr(CFMutableDataRef theData);

/* Copies the bytes of range into buffer; the range must lie inside the data. */
void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8* buffer);

void CFDataAppendBytes(CFMutableDataRef theData, const UInt8* bytes, CFIndex length);

CF_EXTERN_C_END

#endif /* PELIO_PLATFORM_CFDATA_H */
