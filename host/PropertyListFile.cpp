#include "PropertyListFile.h"

#include <AudioServer/Text.h>

#include <plist/plist.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include <unistd.h>

namespace pelio::host {

namespace {

constexpr std::uintmax_t kLargestFile = 16u << 20;
constexpr unsigned kDeepest = 64;

struct PlistDeleter
{
    void operator()(plist_t node) const { plist_free(node); }
};
using OwnedPlist = std::unique_ptr<void, PlistDeleter>;

CFTypeRef ToFoundation(plist_t node, unsigned depth)
{
    if (depth > kDeepest) {
        return nullptr;
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return CFRetain(value != 0 ? kCFBooleanTrue : kCFBooleanFalse);
    }
    case PLIST_UINT: {
        // libplist keeps signed integers as their two's-complement bits.
        std::uint64_t bits = 0;
        plist_get_uint_val(node, &bits);
        const auto value = static_cast<SInt64>(bits);
        return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &value);
    }
    case PLIST_STRING: {
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return text != nullptr ? audioserver::CreateString(std::string_view(text, length)) : nullptr;
    }
    case PLIST_DATA: {
        std::uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(node, &length);
        return CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(bytes), static_cast<CFIndex>(length));
    }
    case PLIST_ARRAY: {
        CFMutableArrayRef array = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
        const std::uint32_t count = plist_array_get_size(node);
        for (std::uint32_t index = 0; index < count; ++index) {
            const CFTypeRef element = ToFoundation(plist_array_get_item(node, index), depth + 1);
            if (element == nullptr) {
                CFRelease(array);
                return nullptr;
            }
            CFArrayAppendValue(array, element);
            CFRelease(element);
        }
        return array;
    }
    case PLIST_DICT: {
        CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
            kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        bool complete = iterator != nullptr;
        while (complete) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iterator, &key, &item);
            if (key == nullptr) {
                break;
            }
            const CFStringRef keyString = audioserver::CreateString(key);
            std::free(key);
            const CFTypeRef value = item != nullptr ? ToFoundation(item, depth + 1) : nullptr;
            complete = keyString != nullptr && value != nullptr;
            if (complete) {
                CFDictionarySetValue(dictionary, keyString, value);
            }
            for (const CFTypeRef made : {static_cast<CFTypeRef>(keyString), value}) {
                if (made != nullptr) {
                    CFRelease(made);
                }
            }
        }
        std::free(iterator);
        if (!complete) {
            CFRelease(dictionary);
            return nullptr;
        }
        return dictionary;
    }
    default:
        return nullptr;
    }
}

plist_t FromFoundation(CFTypeRef object, unsigned depth)
{
    if (object == nullptr || depth > kDeepest) {
        return nullptr;
    }
    const CFTypeID type = CFGetTypeID(object);
    if (type == CFBooleanGetTypeID()) {
        return plist_new_bool(CFBooleanGetValue(static_cast<CFBooleanRef>(object)) ? 1 : 0);
    }
    if (type == CFNumberGetTypeID()) {
        const auto number = static_cast<CFNumberRef>(object);
        if (CFNumberIsFloatType(number)) {
            Float64 value = 0;
            return CFNumberGetValue(number, kCFNumberFloat64Type, &value) ? plist_new_real(value) : nullptr;
        }
        SInt64 value = 0;
        return CFNumberGetValue(number, kCFNumberSInt64Type, &value) ? plist_new_uint(static_cast<std::uint64_t>(value))
                                                                      : nullptr;
    }
    if (type == CFStringGetTypeID()) {
        std::string text;
        return audioserver::CopyText(static_cast<CFStringRef>(object), text) ? plist_new_string(text.c_str())
                                                                             : nullptr;
    }
    if (type == CFDataGetTypeID()) {
        const auto data = static_cast<CFDataRef>(object);
        return plist_new_data(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                              static_cast<std::uint64_t>(CFDataGetLength(data)));
    }
    if (type == CFArrayGetTypeID()) {
        const auto array = static_cast<CFArrayRef>(object);
        OwnedPlist result(plist_new_array());
        for (CFIndex index = 0; index < CFArrayGetCount(array); ++index) {
            plist_t element = FromFoundation(CFArrayGetValueAtIndex(array, index), depth + 1);
            if (element == nullptr) {
                return nullptr;
            }
            plist_array_append_item(result.get(), element);
        }
        return result.release();
    }
    if (type == CFDictionaryGetTypeID()) {
        const auto dictionary = static_cast<CFDictionaryRef>(object);
        const auto count = static_cast<std::size_t>(CFDictionaryGetCount(dictionary));
        std::vector<const void*> keys(count);
        std::vector<const void*> values(count);
        CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
        OwnedPlist result(plist_new_dict());
        for (std::size_t index = 0; index < count; ++index) {
            std::string key;
            if (keys[index] == nullptr || CFGetTypeID(keys[index]) != CFStringGetTypeID()
                || !audioserver::CopyText(static_cast<CFStringRef>(keys[index]), key)) {
                return nullptr;
            }
            plist_t value = FromFoundation(values[index], depth + 1);
            if (value == nullptr) {
                return nullptr;
            }
            plist_dict_set_item(result.get(), key.c_str(), value);
        }
        return result.release();
    }
    return nullptr;
}

} // namespace

CFPropertyListRef ReadPropertyListFile(const std::string& path, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::vector<char> bytes;
    char buffer[65536];
    while (file.read(buffer, sizeof(buffer)) || file.gcount() > 0) {
        bytes.insert(bytes.end(), buffer, buffer + file.gcount());
        if (bytes.size() > kLargestFile) {
            error = path + " is larger than 16 MiB";
            return nullptr;
        }
    }
    plist_t root = nullptr;
    if (!bytes.empty()) {
        plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    }
    const OwnedPlist owned(root);
    if (root == nullptr) {
        error = path + " is not a property list";
        return nullptr;
    }
    const CFPropertyListRef list = ToFoundation(root, 0);
    if (list == nullptr) {
        error = path + " holds values other than strings, data, numbers, booleans, arrays and dictionaries";
    }
    return list;
}

bool WritePropertyListFile(const std::string& path, CFPropertyListRef list, std::string& error)
{
    const OwnedPlist root(FromFoundation(list, 0));
    if (root == nullptr) {
        error = "the values for " + path + " are not a property list";
        return false;
    }
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    if (xml == nullptr) {
        error = "cannot encode the values for " + path;
        return false;
    }
    const std::string temporary = path + ".new";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    bool written = file != nullptr && std::fwrite(xml, 1, length, file) == length;
    if (file != nullptr) {
        written = std::fflush(file) == 0 && fsync(fileno(file)) == 0 && written;
        written = std::fclose(file) == 0 && written;
    }
    plist_to_xml_free(xml);
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace pelio::host
