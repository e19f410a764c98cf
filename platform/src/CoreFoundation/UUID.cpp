// UUIDs: 16 bytes; constants interned per value for the life of the process.
#include "Object.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string_view>

namespace {

using Bytes = std::array<UInt8, 16>;

Bytes ToArray(const CFUUIDBytes& uuid) {
    Bytes bytes;
    std::memcpy(bytes.data(), &uuid, bytes.size());
    return bytes;
}

CFUUIDBytes ToUUIDBytes(const Bytes& bytes) {
    CFUUIDBytes uuid;
    std::memcpy(&uuid, bytes.data(), bytes.size());
    return uuid;
}

}  // namespace

struct __CFUUID final : cf::Object {
    static constexpr CFTypeID kTypeID = cf::kUUIDTypeID;

    __CFUUID(const Bytes& value, Lifetime lifetime) : Object(kTypeID, lifetime), bytes(value) {}

    bool Equals(const Object& other) const override { return bytes == static_cast<const __CFUUID&>(other).bytes; }
    CFHashCode Hash() const override {
        return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }

    const Bytes bytes;
};

namespace {

// The constants, one per value. The table is never destroyed, so the constants stay reachable
// (for leak checkers) and valid for static destructors at exit.
class ConstantUUIDs {
public:
    static ConstantUUIDs& Shared() {
        static ConstantUUIDs& shared = *new ConstantUUIDs;
        return shared;
    }

    CFUUIDRef Intern(const Bytes& bytes) {
        std::lock_guard lock(mutex_);
        auto [entry, inserted] = uuids_.try_emplace(bytes, nullptr);
        if (inserted) entry->second = new __CFUUID(bytes, cf::Object::Lifetime::Immortal);
        return entry->second;
    }

private:
    std::mutex mutex_;
    std::map<Bytes, const __CFUUID*> uuids_;
};

}  // namespace

extern "C" {

CFTypeID CFUUIDGetTypeID(void) { return __CFUUID::kTypeID; }

CFUUIDRef CFUUIDCreate(CFAllocatorRef) {
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    Bytes bytes;
    {
        std::lock_guard lock(mutex);
        for (size_t index = 0; index < bytes.size(); index += 8) {
            const UInt64 random = generator();
            std::memcpy(bytes.data() + index, &random, 8);
        }
    }
    bytes[6] = UInt8((bytes[6] & 0x0F) | 0x40);  // version 4: random
    bytes[8] = UInt8((bytes[8] & 0x3F) | 0x80);  // the RFC 4122 variant
    return new __CFUUID(bytes, cf::Object::Lifetime::Counted);
}

CFUUIDRef CFUUIDCreateWithBytes(CFAllocatorRef, UInt8 byte0, UInt8 byte1, UInt8 byte2, UInt8 byte3, UInt8 byte4,
                                UInt8 byte5, UInt8 byte6, UInt8 byte7, UInt8 byte8, UInt8 byte9, UInt8 byte10,
                                UInt8 byte11, UInt8 byte12, UInt8 byte13, UInt8 byte14, UInt8 byte15) {
    const Bytes bytes{byte0, byte1, byte2,  byte3,  byte4,  byte5,  byte6,  byte7,
                      byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15};
    return new __CFUUID(bytes, cf::Object::Lifetime::Counted);
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes bytes) {
    return new __CFUUID(ToArray(bytes), cf::Object::Lifetime::Counted);
}

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 byte0, UInt8 byte1, UInt8 byte2, UInt8 byte3,
                                         UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7, UInt8 byte8,
                                         UInt8 byte9, UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13,
                                         UInt8 byte14, UInt8 byte15) {
    return ConstantUUIDs::Shared().Intern({byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7, byte8, byte9,
                                           byte10, byte11, byte12, byte13, byte14, byte15});
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) { return ToUUIDBytes(cf::Checked(uuid, "CFUUIDGetUUIDBytes").bytes); }

CFStringRef CFUUIDCreateString(CFAllocatorRef alloc, CFUUIDRef uuid) {
    const Bytes& bytes = cf::Checked(uuid, "CFUUIDCreateString").bytes;
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return CFStringCreateWithCString(alloc, text, kCFStringEncodingUTF8);
}

}  // extern "C"
