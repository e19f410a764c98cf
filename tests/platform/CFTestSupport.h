// Helpers shared by the CoreFoundation tests: ownership of created objects, so that a failing
// assertion does not leak and the leak checker stays meaningful, and callbacks that count.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <memory>
#include <type_traits>

namespace cftest {

struct Releaser {
    void operator()(const void* object) const {
        if (object != nullptr) CFRelease(object);
    }
};

// Owns one reference (the one a Create function returns) and releases it at scope exit.
template <class Ref>
using Owned = std::unique_ptr<std::remove_pointer_t<Ref>, Releaser>;

template <class Ref>
Owned<Ref> Own(Ref ref) {
    return Owned<Ref>(ref);
}

inline Owned<CFStringRef> MakeString(const char* text) {
    return Own(CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingUTF8));
}

inline Owned<CFNumberRef> MakeNumber(SInt64 value) {
    return Own(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value));
}

inline Owned<CFNumberRef> MakeNumber(Float64 value) {
    return Own(CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &value));
}

// Array callbacks that retain and release like kCFTypeArrayCallBacks and count the calls.
struct CountingCallBacks {
    static inline std::atomic<int> retains{0};
    static inline std::atomic<int> releases{0};

    static void Reset() {
        retains = 0;
        releases = 0;
    }
    static const void* Retain(CFAllocatorRef, const void* value) {
        ++retains;
        return CFRetain(value);
    }
    static void Release(CFAllocatorRef, const void* value) {
        ++releases;
        CFRelease(value);
    }
    static constexpr CFArrayCallBacks kArray = {0, Retain, Release, nullptr, CFEqual};
    static constexpr CFDictionaryValueCallBacks kDictionaryValues = {0, Retain, Release, nullptr, CFEqual};
};

}  // namespace cftest
