// CFString to and from UTF-8 for the client calls and the simulated audio server.
#include <AudioServer/Text.h>

#include <cstring>

namespace audioserver {

bool CopyText(CFStringRef string, std::string& text) {
    if (string == nullptr || CFGetTypeID(string) != CFStringGetTypeID()) return false;
    const CFIndex capacity = CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8);
    if (capacity == kCFNotFound) return false;
    std::string buffer(static_cast<size_t>(capacity) + 1, '\0');
    if (!CFStringGetCString(string, buffer.data(), capacity + 1, kCFStringEncodingUTF8)) return false;
    buffer.resize(std::strlen(buffer.c_str()));
    text = std::move(buffer);
    return true;
}

CFStringRef CreateString(std::string_view text) {
    return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                   static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
}

}  // namespace audioserver
