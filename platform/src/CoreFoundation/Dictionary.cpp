// Dictionaries: key-value pairs in insertion order, handled through the dictionary's callbacks.
#include "Object.h"

#include <utility>
#include <vector>

namespace {

const void* RetainValue(CFAllocatorRef, const void* value) { return CFRetain(value); }
void ReleaseValue(CFAllocatorRef, const void* value) { CFRelease(value); }

}  // namespace

extern "C" {
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0, RetainValue, ReleaseValue, nullptr, CFEqual, CFHash};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, RetainValue, ReleaseValue, nullptr, CFEqual};
}

struct __CFDictionary final : cf::Object {
    static constexpr CFTypeID kTypeID = cf::kDictionaryTypeID;

    struct Entry {
        const void* key;
        const void* value;
    };

    // NULL callbacks store plain pointers and compare them by address.
    __CFDictionary(const CFDictionaryKeyCallBacks* keyCallBacksOrNull,
                   const CFDictionaryValueCallBacks* valueCallBacksOrNull, bool mutableEntries)
        : Object(kTypeID, Lifetime::Counted),
          keyCallBacks(keyCallBacksOrNull != nullptr ? *keyCallBacksOrNull : CFDictionaryKeyCallBacks{}),
          valueCallBacks(valueCallBacksOrNull != nullptr ? *valueCallBacksOrNull : CFDictionaryValueCallBacks{}),
          isMutable(mutableEntries) {}
    ~__CFDictionary() override { RemoveAll(); }

    const Entry* Find(const void* key) const {
        for (const Entry& entry : entries)
            if (entry.key == key || (keyCallBacks.equal != nullptr && keyCallBacks.equal(entry.key, key))) return &entry;
        return nullptr;
    }
    Entry* Find(const void* key) { return const_cast<Entry*>(std::as_const(*this).Find(key)); }

    // Replaces the value of an existing key unless onlyIfAbsent; the stored key stays.
    void Set(const void* key, const void* value, bool onlyIfAbsent) {
        if (Entry* entry = Find(key)) {
            if (onlyIfAbsent) return;
            // The new value is retained before the old one is released: they may be the same object.
            const void* old = entry->value;
            entry->value = RetainedValue(value);
            ReleaseValue(old);
            return;
        }
        const void* storedKey = keyCallBacks.retain != nullptr ? keyCallBacks.retain(kCFAllocatorDefault, key) : key;
        entries.push_back({storedKey, RetainedValue(value)});
    }

    void Remove(const void* key) {
        Entry* entry = Find(key);
        if (entry == nullptr) return;
        const Entry removed = *entry;
        entries.erase(entries.begin() + (entry - entries.data()));
        ReleaseEntry(removed);
    }

    void RemoveAll() {
        // Emptied before the releases run, so a release callback never sees a half-emptied dictionary.
        std::vector<Entry> removed;
        removed.swap(entries);
        for (const Entry& entry : removed) ReleaseEntry(entry);
    }

    // Same keys (found through the other's key equality), and equal values through this
    // dictionary's value equality.
    bool Equals(const Object& other) const override {
        const auto& that = static_cast<const __CFDictionary&>(other);
        if (entries.size() != that.entries.size()) return false;
        for (const Entry& entry : entries) {
            const Entry* match = that.Find(entry.key);
            if (match == nullptr) return false;
            if (match->value != entry.value &&
                (valueCallBacks.equal == nullptr || !valueCallBacks.equal(entry.value, match->value)))
                return false;
        }
        return true;
    }
    CFHashCode Hash() const override { return entries.size(); }

    CFTypeRef CopyPropertyList(CFOptionFlags mutability) const override {
        auto* copy = new __CFDictionary(&kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks,
                                        mutability != kCFPropertyListImmutable);
        for (const Entry& entry : entries) {
            // Property-list keys are strings.
            const cf::Object& key = cf::ObjectOf(entry.key, "CFPropertyListCreateDeepCopy");
            const CFTypeRef keyCopy = key.GetTypeID() == CFStringGetTypeID() ? key.CopyPropertyList(mutability) : nullptr;
            const CFTypeRef valueCopy =
                keyCopy != nullptr
                    ? cf::ObjectOf(entry.value, "CFPropertyListCreateDeepCopy").CopyPropertyList(mutability)
                    : nullptr;
            if (valueCopy == nullptr) {
                if (keyCopy != nullptr) CFRelease(keyCopy);
                copy->Release();
                return nullptr;
            }
            // The copy holds the only references to the new key and value.
            copy->entries.push_back({keyCopy, valueCopy});
        }
        return copy;
    }

    // Property-list keys are strings.
    bool IsPropertyList(CFPropertyListFormat format) const override {
        for (const Entry& entry : entries) {
            if (cf::ObjectOf(entry.key, "CFPropertyListIsValid").GetTypeID() != CFStringGetTypeID()) return false;
            if (!cf::ObjectOf(entry.value, "CFPropertyListIsValid").IsPropertyList(format)) return false;
        }
        return true;
    }

    const CFDictionaryKeyCallBacks keyCallBacks;
    const CFDictionaryValueCallBacks valueCallBacks;
    const bool isMutable;
    std::vector<Entry> entries;

private:
    const void* RetainedValue(const void* value) const {
        return valueCallBacks.retain != nullptr ? valueCallBacks.retain(kCFAllocatorDefault, value) : value;
    }
    void ReleaseValue(const void* value) const {
        if (valueCallBacks.release != nullptr) valueCallBacks.release(kCFAllocatorDefault, value);
    }
    void ReleaseEntry(const Entry& entry) const {
        if (keyCallBacks.release != nullptr) keyCallBacks.release(kCFAllocatorDefault, entry.key);
        ReleaseValue(entry.value);
    }
};

namespace {

__CFDictionary& CheckedMutableDictionary(CFMutableDictionaryRef theDict, const char* function) {
    __CFDictionary& dictionary = cf::CheckedMutable(theDict, function);
    if (!dictionary.isMutable) cf::Fail(function, "the dictionary is immutable");
    return dictionary;
}

}  // namespace

extern "C" {

CFTypeID CFDictionaryGetTypeID(void) { return __CFDictionary::kTypeID; }

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void** keys, const void** values, CFIndex numValues,
                                   const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks) {
    if (numValues < 0 || ((keys == nullptr || values == nullptr) && numValues > 0)) return nullptr;
    auto* dictionary = new __CFDictionary(keyCallBacks, valueCallBacks, false);
    for (CFIndex index = 0; index < numValues; ++index) dictionary->Set(keys[index], values[index], false);
    return dictionary;
}

CFDictionaryRef CFDictionaryCreateCopy(CFAllocatorRef, CFDictionaryRef theDict) {
    const __CFDictionary& original = cf::Checked(theDict, "CFDictionaryCreateCopy");
    auto* dictionary = new __CFDictionary(&original.keyCallBacks, &original.valueCallBacks, false);
    for (const auto& entry : original.entries) dictionary->Set(entry.key, entry.value, false);
    return dictionary;
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks) {
    if (capacity < 0) return nullptr;
    return new __CFDictionary(keyCallBacks, valueCallBacks, true);
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) {
    return CFIndex(cf::Checked(theDict, "CFDictionaryGetCount").entries.size());
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key) {
    const auto* entry = cf::Checked(theDict, "CFDictionaryGetValue").Find(key);
    return entry != nullptr ? entry->value : nullptr;
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef theDict, const void* key, const void** value) {
    const auto* entry = cf::Checked(theDict, "CFDictionaryGetValueIfPresent").Find(key);
    if (entry != nullptr && value != nullptr) *value = entry->value;
    return entry != nullptr;
}

Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void* key) {
    return cf::Checked(theDict, "CFDictionaryContainsKey").Find(key) != nullptr;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values) {
    const __CFDictionary& dictionary = cf::Checked(theDict, "CFDictionaryGetKeysAndValues");
    for (size_t index = 0; index < dictionary.entries.size(); ++index) {
        if (keys != nullptr) keys[index] = dictionary.entries[index].key;
        if (values != nullptr) values[index] = dictionary.entries[index].value;
    }
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    CheckedMutableDictionary(theDict, "CFDictionarySetValue").Set(key, value, false);
}

void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    CheckedMutableDictionary(theDict, "CFDictionaryAddValue").Set(key, value, true);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void* key) {
    CheckedMutableDictionary(theDict, "CFDictionaryRemoveValue").Remove(key);
}

void CFDictionaryRemoveAllValues(CFMutableDictionaryRef theDict) {
    CheckedMutableDictionary(theDict, "CFDictionaryRemoveAllValues").RemoveAll();
}

}  // extern "C"
