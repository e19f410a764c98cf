// The reference counting, identity and equality functions that every object answers.
#include "Object.h"

#include <cstdio>
#include <cstdlib>

extern "C" const CFAllocatorRef kCFAllocatorDefault = nullptr;

namespace cf {

void Object::Retain() const {
    if (IsImmortal()) return;
    // Relaxed suffices: a new reference is taken from an existing one, which already orders the
    // retaining thread after the object's creation.
    if (retainCount_.fetch_add(1, std::memory_order_relaxed) <= 0)
        Fail("CFRetain", "the object was already destroyed");
}

void Object::Release() const {
    if (IsImmortal()) return;
    // Release publishes this thread's changes; the acquire half lets the destroying thread see
    // every other thread's changes before the destructor runs.
    const CFIndex previous = retainCount_.fetch_sub(1, std::memory_order_acq_rel);
    if (previous == 1) {
        delete this;
    } else if (previous <= 0) {
        Fail("CFRelease", "the object was already destroyed");
    }
}

CFIndex Object::GetRetainCount() const {
    return IsImmortal() ? kImmortalRetainCount : retainCount_.load(std::memory_order_relaxed);
}

CFTypeRef Object::CopyPropertyList(CFOptionFlags) const { return nullptr; }

bool Object::IsPropertyList(CFPropertyListFormat) const { return false; }

void Fail(const char* function, const char* problem) {
    std::fprintf(stderr, "CoreFoundation: %s(): %s\n", function, problem);
    std::fflush(stderr);
    std::abort();
}

const Object& ObjectOf(CFTypeRef ref, const char* function) {
    if (ref == nullptr) Fail(function, "NULL reference");
    return *static_cast<const Object*>(ref);
}

}  // namespace cf

extern "C" {

CFTypeRef CFRetain(CFTypeRef cf) {
    cf::ObjectOf(cf, "CFRetain").Retain();
    return cf;
}

void CFRelease(CFTypeRef cf) { cf::ObjectOf(cf, "CFRelease").Release(); }

CFIndex CFGetRetainCount(CFTypeRef cf) { return cf::ObjectOf(cf, "CFGetRetainCount").GetRetainCount(); }

CFTypeID CFGetTypeID(CFTypeRef cf) { return cf::ObjectOf(cf, "CFGetTypeID").GetTypeID(); }

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
    const cf::Object& first = cf::ObjectOf(cf1, "CFEqual");
    const cf::Object& second = cf::ObjectOf(cf2, "CFEqual");
    if (&first == &second) return true;
    return first.GetTypeID() == second.GetTypeID() && first.Equals(second);
}

CFHashCode CFHash(CFTypeRef cf) { return cf::ObjectOf(cf, "CFHash").Hash(); }

}  // extern "C"
