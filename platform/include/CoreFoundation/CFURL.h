/*
 * CFURL.h — URLs, kept as the text they were made from.
 *
 * Contract: a URL holds its string and an optional base URL; it does not parse, resolve or
 * normalise. CFURLCreateWithBytes percent-escapes, as the platform does, every byte that may not
 * stand in a URL as it is (a space, "<>", a '%' that starts no escape, control characters, the
 * bytes of non-ASCII characters: "a b" reads back as "a%20b", "caf\xC3\xA9" as "caf%C3%A9", "%zz"
 * as "%25zz"); URL text, already escaped text included, stays as it was. It fails (NULL) when the
 * bytes are not valid in the given encoding or hold a NUL. CFURLCreateWithString keeps its string
 * unchecked (the platform may refuse text that is not URL text: pass it only URL text).
 * URLs are immutable and may be read from any thread; creation allocates.
 */
#ifndef PELIO_PLATFORM_CFURL_H
#define PELIO_PLATFORM_CFURL_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFURL* CFURLRef;

CFTypeID CFURLGetTypeID(void);

/* A new URL from length bytes of text in encoding, escaped as above, relative to baseURL (may be
   NULL). */
CFURLRef CFURLCreateWithBytes(CFAllocatorRef allocator, const UInt8* URLBytes, CFIndex length,
                              CFStringEncoding encoding, CFURLRef baseURL);

/* A new URL from a string, relative to baseURL (may be NULL). */
CFURLRef CFURLCreateWithString(CFAllocatorRef allocator, CFStringRef URLString, CFURLRef baseURL);

/* The URL's own string (relative to its base, if it has one); owned by the URL, not retained. */
CFStringRef CFURLGetString(CFURLRef anURL);

/* The base URL or NULL; owned by the URL, not retained. */
CFURLRef CFURLGetBaseURL(CFURLRef anURL);

CF_EXTERN_C_END

#endif /* PELIO_PLATFORM_CFURL_H */
