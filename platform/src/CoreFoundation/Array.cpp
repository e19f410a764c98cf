// Arrays: a vector of values handled through the array's callbacks.
#include "Object.h"

#include <vector>

namespace {

const void* RetainValue(CFAllocatorRef, const void* value) { return CFRetain(value); }
void ReleaseValue(CFAllocatorRef, const void* value) { CFRelease(value); }

}  // namespace

extern "C" const CFArrayCallBacks kCFTypeArrayCallBacks = {0, RetainValue, ReleaseValue, nullptr, CFEqual};

struct __CFArray final : cf::Object {
    static constexpr CFTypeID kTypeID = cf::kArrayTypeID;

    __CFArray(const CFArrayCallBacks* valueCallBacks, bool mutableValues)
        : Object(kTypeID, Lifetime::Counted),
          callBacks(valueCallBacks != nullptr ? *valueCallBacks : CFArrayCallBacks{}),
          isMutable(mutableValues) {}
    ~__CFArray() override { RemoveAll(); }

    void Append(const void* value) {
        values.push_back(callBacks.retain != nullptr ? callBacks.retain(kCFAllocatorDefault, value) : value);
    }
    void Remove(CFIndex index) {
        const void* value = values[size_t(index)];
        values.erase(values.begin() + index);
        if (callBacks.release != nullptr) callBacks.release(kCFAllocatorDefault, value);
    }
    void RemoveAll() {
        // Emptied before the releases run, so a release callback never sees a half-emptied array.
        std::vector<const void*> removed;
        removed.swap(values);
        if (callBacks.release != nullptr)
            for (const void* value : removed) callBacks.release(kCFAllocatorDefault, value);
    }

    // Element-wise through this array's equality callback, as the platform does.
    bool Equals(const Object& other) const override {
        const auto& that = static_cast<const __CFArray&>(other);
        if (values.size() != that.values.size()) return false;
        for (size_t index = 0; index < values.size(); ++index) {
            const void* mine = values[index];
            const void* theirs = that.values[index];
            if (mine != theirs && (callBacks.equal == nullptr || !callBacks.equal(mine, theirs))) return false;
        }
        return true;
    }
    CFHashCode Hash() const override { return values.size(); }

    CFTypeRef CopyPropertyList(CFOptionFlags mutability) const override {
        auto* copy = new __CFArray(&kCFTypeArrayCallBacks, mutability != kCFPropertyListImmutable);
        for (const void* value : values) {
            const CFTypeRef element = cf::ObjectOf(value, "CFPropertyListCreateDeepCopy").CopyPropertyList(mutability);
            if (element == nullptr) {
                copy->Release();
                return nullptr;
            }
            // The copy holds the only reference to the new element.
            copy->values.push_back(element);
        }
        return copy;
    }

    bool IsPropertyList(CFPropertyListFormat format) const override {
        for (const void* value : values)
            if (!cf::ObjectOf(value, "CFPropertyListIsValid").IsPropertyList(format)) return false;
        return true;
    }

    const CFArrayCallBacks callBacks;
    const bool isMutable;
    std::vector<const void*> values;
};

namespace {

__CFArray& CheckedMutableArray(CFMutableArrayRef theArray, const char* function) {
    __CFArray& array = cf::CheckedMutable(theArray, function);
    if (!array.isMutable) cf::Fail(function, "the array is immutable");
    return array;
}

void CheckIndex(const __CFArray& array, CFIndex index, const char* function) {
    if (index < 0 || size_t(index) >= array.values.size()) cf::Fail(function, "index out of range");
}

}  // namespace

extern "C" {

CFTypeID CFArrayGetTypeID(void) { return __CFArray::kTypeID; }

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex numValues, const CFArrayCallBacks* callBacks) {
    if (numValues < 0 || (values == nullptr && numValues > 0)) return nullptr;
    auto* array = new __CFArray(callBacks, false);
    array->values.reserve(size_t(numValues));
    for (CFIndex index = 0; index < numValues; ++index) array->Append(values[index]);
    return array;
}

CFArrayRef CFArrayCreateCopy(CFAllocatorRef, CFArrayRef theArray) {
    const __CFArray& original = cf::Checked(theArray, "CFArrayCreateCopy");
    auto* array = new __CFArray(&original.callBacks, false);
    array->values.reserve(original.values.size());
    for (const void* value : original.values) array->Append(value);
    return array;
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex capacity, const CFArrayCallBacks* callBacks) {
    if (capacity < 0) return nullptr;
    return new __CFArray(callBacks, true);
}

CFIndex CFArrayGetCount(CFArrayRef theArray) { return CFIndex(cf::Checked(theArray, "CFArrayGetCount").values.size()); }

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
    const __CFArray& array = cf::Checked(theArray, "CFArrayGetValueAtIndex");
    CheckIndex(array, idx, "CFArrayGetValueAtIndex");
    return array.values[size_t(idx)];
}

void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value) {
    CheckedMutableArray(theArray, "CFArrayAppendValue").Append(value);
}

void CFArrayRemoveValueAtIndex(CFMutableArrayRef theArray, CFIndex idx) {
    __CFArray& array = CheckedMutableArray(theArray, "CFArrayRemoveValueAtIndex");
    CheckIndex(array, idx, "CFArrayRemoveValueAtIndex");
    array.Remove(idx);
}

void CFArrayRemoveAllValues(CFMutableArrayRef theArray) {
    CheckedMutableArray(theArray, "CFArrayRemoveAllValues").RemoveAll();
}

}  // extern "C"
