/*
 * MacTypes.h — the platform's base scalar types, as the macOS SDK defines them for LP64.
 *
 * Only type definitions and constants: nothing here allocates, locks or has state, so every
 * name is usable from any thread, the real-time IO thread included. The widths and the exact
 * underlying types matter (UInt64 is unsigned long long, Boolean is unsigned char, not bool):
 * code written against these definitions must build unchanged against the real SDK.
 */
#ifndef PELIO_PLATFORM_MACTYPES_H
#define PELIO_PLATFORM_MACTYPES_H

typedef unsigned char UInt8;
typedef signed char SInt8;
typedef unsigned short UInt16;
typedef signed short SInt16;
typedef unsigned int UInt32;
typedef signed int SInt32;
typedef unsigned long long UInt64;
typedef signed long long SInt64;

typedef float Float32;
typedef double Float64;

typedef UInt8 Byte;
typedef SInt8 SignedByte;

/* A one-byte truth value; a bool* does not convert to a Boolean*. */
typedef unsigned char Boolean;

typedef SInt16 OSErr;
typedef SInt32 OSStatus;

typedef UInt32 FourCharCode;
typedef FourCharCode OSType;
typedef FourCharCode ResType;

typedef unsigned long ByteCount;
typedef unsigned long ItemCount;
typedef UInt32 OptionBits;

typedef UInt16 UniChar;
typedef UInt8 UTF8Char;
typedef UInt16 UTF16Char;
typedef UInt32 UTF32Char;

enum { noErr = 0 };

#endif /* PELIO_PLATFORM_MACTYPES_H */
