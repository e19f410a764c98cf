/*
 * CFString.h — immutable Unicode strings.
 *
 * Contract: strings hold their text as UTF-8 and report lengths in UTF-16 code units, as the
 * platform does (a character outside the basic plane counts 2). Creation validates the input and
 * returns NULL for text that is not valid in the given encoding. Supported encodings: UTF-8 and
 * ASCII; any other encoding makes creation return NULL and conversion fail. ASCII takes 7-bit text
 * only: the platform reads other bytes as Latin-1 instead of refusing them, which is not worth a
 * second encoding here; code that may meet other bytes uses UTF-8.
 * CFSTR accepts only a string literal; it returns a constant string that is never destroyed
 * however often it is released (here one object per distinct text; on the platform equal
 * literals need not be one object, so compare them with CFEqual).
 * Immutable strings may be read from any thread. Creation allocates; CFSTR also takes a lock.
 */
#ifndef PELIO_PLATFORM_CFSTRING_H
#define PELIO_PLATFORM_CFSTRING_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef UInt32 CFStringEncoding;

CF_ENUM(CFStringEncoding, CFStringBuiltInEncodings) {
    kCFStringEncodingMacRoman = 0,
    kCFStringEncodingWindowsLatin1 = 0x0500,
    kCFStringEncodingISOLatin1 = 0x0201,
    kCFStringEncodingNextStepLatin = 0x0B01,
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingUnicode = 0x0100,
    kCFStringEncodingUTF8 = 0x08000100,
    kCFStringEncodingNonLossyASCII = 0x0BFF,
    kCFStringEncodingUTF16 = 0x0100,
    kCFStringEncodingUTF16BE = 0x10000100,
    kCFStringEncodingUTF16LE = 0x14000100,
    kCFStringEncodingUTF32 = 0x0c000100,
    kCFStringEncodingUTF32BE = 0x18000100,
    kCFStringEncodingUTF32LE = 0x1c000100
};

#define kCFStringEncodingInvalidId (0xffffffffU)

CFTypeID CFStringGetTypeID(void);

/* Backs CFSTR; call it only through the macro. */
CFStringRef __CFStringMakeConstantString(const char* cStr);

/* The empty literals around the argument let only a string literal through. */
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")

/* A new string from a NUL-terminated C string; NULL when the bytes are not valid in encoding. */
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding);

/* A new string from numBytes bytes, which may contain NUL; isExternalRepresentation is accepted
   for the platform's signature (a leading UTF-8 byte order mark is skipped either way). */
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);

/* A new string with the same text. */
CFStringRef CFStringCreateCopy(CFAllocatorRef alloc, CFStringRef theString);

/* The length in UTF-16 code units. */
CFIndex CFStringGetLength(CFStringRef theString);

/* The largest number of bytes that length UTF-16 code units can take in encoding, without the
   terminator; kCFNotFound for an unsupported encoding or when the size would overflow. */
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);

/* Copies the text and a terminating NUL into buffer. False, with an empty string in a non-empty
   buffer, when the text and terminator do not fit or cannot be represented in encoding (the
   platform may leave partial text: never read the buffer after false). Size the buffer with
   CFStringGetMaximumSizeForEncoding + 1; the platform may write past a smaller one. */
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding);

/* The text in place, valid as long as the string lives, or NULL when the string cannot hand it out
   in encoding. Here NULL also for text that holds a NUL; the platform gives NULL for any non-ASCII
   text and may hand out text that holds a NUL. Never rely on it: copy with CFStringGetCString. */
const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding);

CF_EXTERN_C_END

#endif /* PELIO_PLATFORM_CFSTRING_H */
