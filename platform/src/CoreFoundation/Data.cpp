// Data: a byte vector, immutable or growing.
#include "Object.h"

#include <cstring>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

struct __CFData final : cf::Object {
    static constexpr CFTypeID kTypeID = cf::kDataTypeID;

    __CFData(std::vector<UInt8> content, bool mutableBytes)
        : Object(kTypeID, Lifetime::Counted), bytes(std::move(content)), isMutable(mutableBytes) {}

    bool Equals(const Object& other) const override { return bytes == static_cast<const __CFData&>(other).bytes; }
    CFHashCode Hash() const override {
        return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    // Mutable leaves are only asked for with kCFPropertyListMutableContainersAndLeaves.
    CFTypeRef CopyPropertyList(CFOptionFlags mutability) const override {
        return new __CFData(bytes, (mutability & kCFPropertyListMutableContainersAndLeaves) != 0);
    }
    bool IsPropertyList(CFPropertyListFormat) const override { return true; }

    std::vector<UInt8> bytes;
    const bool isMutable;
};

namespace {

__CFData& CheckedMutableData(CFMutableDataRef theData, const char* function) {
    __CFData& data = cf::CheckedMutable(theData, function);
    if (!data.isMutable) cf::Fail(function, "the data object is immutable");
    return data;
}

}  // namespace

extern "C" {

CFTypeID CFDataGetTypeID(void) { return __CFData::kTypeID; }

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length) {
    if (length < 0 || (bytes == nullptr && length > 0)) return nullptr;
    return new __CFData(std::vector<UInt8>(bytes, bytes + length), false);
}

CFDataRef CFDataCreateCopy(CFAllocatorRef, CFDataRef theData) {
    return new __CFData(cf::Checked(theData, "CFDataCreateCopy").bytes, false);
}

CFMutableDataRef CFDataCreateMutable(CFAllocatorRef, CFIndex capacity) {
    if (capacity < 0) return nullptr;
    return new __CFData({}, true);
}

CFIndex CFDataGetLength(CFDataRef theData) { return CFIndex(cf::Checked(theData, "CFDataGetLength").bytes.size()); }

const UInt8* CFDataGetBytePtr(CFDataRef theData) { return cf::Checked(theData, "CFDataGetBytePtr").bytes.data(); }

UInt8* CFDataGetMutableBytePtr(CFMutableDataRef theData) {
    return CheckedMutableData(theData, "CFDataGetMutableBytePtr").bytes.data();
}

void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8* buffer) {
    const __CFData& data = cf::Checked(theData, "CFDataGetBytes");
    const CFIndex size = CFIndex(data.bytes.size());
    if (range.location < 0 || range.length < 0 || range.location > size || range.length > size - range.location)
        cf::Fail("CFDataGetBytes", "the range lies outside the data");
    if (range.length > 0) std::memcpy(buffer, data.bytes.data() + range.location, size_t(range.length));
}

void CFDataAppendBytes(CFMutableDataRef theData, const UInt8* bytes, CFIndex length) {
    __CFData& data = CheckedMutableData(theData, "CFDataAppendBytes");
    if (length < 0 || (bytes == nullptr && length > 0)) cf::Fail("CFDataAppendBytes", "invalid bytes or length");
    data.bytes.insert(data.bytes.end(), bytes, bytes + length);
}

}  // extern "C"
