#include "Bundle.h"

#include "PropertyListFile.h"

#include <AudioServer/Text.h>

#include <CoreAudio/AudioServerPlugIn.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include <sys/stat.h>

namespace pelio::host {

namespace {

// A dictionary value of a given type, or null.
CFTypeRef ValueOf(CFDictionaryRef dictionary, const char* key, CFTypeID type)
{
    const CFStringRef keyString = audioserver::CreateString(key);
    const CFTypeRef value = CFDictionaryGetValue(dictionary, keyString);
    CFRelease(keyString);
    return value != nullptr && CFGetTypeID(value) == type ? value : nullptr;
}

std::string TextOf(CFTypeRef string)
{
    std::string text;
    if (string != nullptr && CFGetTypeID(string) == CFStringGetTypeID()) {
        audioserver::CopyText(static_cast<CFStringRef>(string), text);
    }
    return text;
}

std::string UUIDText(CFUUIDRef uuid)
{
    const CFStringRef string = CFUUIDCreateString(kCFAllocatorDefault, uuid);
    std::string text = TextOf(string);
    CFRelease(string);
    return text;
}

bool SameUUID(std::string left, std::string right)
{
    const auto upper = [](std::string& text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char character) { return static_cast<char>(std::toupper(character)); });
    };
    upper(left);
    upper(right);
    return left == right;
}

// The value under a UUID key, whatever the case of its hex digits; null when there is none.
CFTypeRef ValueForUUID(CFDictionaryRef dictionary, const std::string& uuid)
{
    if (dictionary == nullptr) {
        return nullptr;
    }
    const auto count = static_cast<std::size_t>(CFDictionaryGetCount(dictionary));
    std::vector<const void*> keys(count);
    std::vector<const void*> values(count);
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
    for (std::size_t index = 0; index < count; ++index) {
        if (SameUUID(TextOf(keys[index]), uuid)) {
            return values[index];
        }
    }
    return nullptr;
}

// Identifiers name the plug-in's storage file, so they must be a plain file name.
bool IsUsableIdentifier(const std::string& identifier)
{
    return !identifier.empty() && identifier.front() != '.'
        && std::all_of(identifier.begin(), identifier.end(), [](unsigned char character) {
               return std::isalnum(character) || character == '.' || character == '-' || character == '_';
           });
}

std::string BaseName(const std::string& path)
{
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    const auto slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

bool ReadFrom(CFDictionaryRef plist, const std::string& path, BundleInfo& info, std::string& whyNot)
{
    info.identifier = TextOf(ValueOf(plist, "CFBundleIdentifier", CFStringGetTypeID()));
    if (info.identifier.empty()) {
        whyNot = "Info.plist has no CFBundleIdentifier";
        return false;
    }
    if (!IsUsableIdentifier(info.identifier)) {
        whyNot = "the bundle identifier \"" + info.identifier + "\" is not made of letters, digits, '.', '-' and '_'";
        return false;
    }

    const std::string typeUUID = UUIDText(kAudioServerPlugInTypeUUID);
    const auto types = static_cast<CFDictionaryRef>(ValueOf(plist, "CFPlugInTypes", CFDictionaryGetTypeID()));
    const CFTypeRef factoriesOfType = ValueForUUID(types, typeUUID);
    const auto factoryUUIDs = factoriesOfType != nullptr && CFGetTypeID(factoriesOfType) == CFArrayGetTypeID()
        ? static_cast<CFArrayRef>(factoriesOfType)
        : nullptr;
    if (factoryUUIDs == nullptr || CFArrayGetCount(factoryUUIDs) == 0) {
        whyNot = "CFPlugInTypes names no factory for the audio server plug-in type " + typeUUID;
        return false;
    }

    // The first factory of the type that CFPlugInFactories gives a function.
    const auto factories = static_cast<CFDictionaryRef>(ValueOf(plist, "CFPlugInFactories", CFDictionaryGetTypeID()));
    for (CFIndex index = 0; index < CFArrayGetCount(factoryUUIDs) && info.factoryFunction.empty(); ++index) {
        info.factoryUUID = TextOf(CFArrayGetValueAtIndex(factoryUUIDs, index));
        info.factoryFunction = TextOf(ValueForUUID(factories, info.factoryUUID));
    }
    if (info.factoryFunction.empty()) {
        whyNot = "CFPlugInFactories names no function for the factory " + info.factoryUUID;
        return false;
    }

    const std::string executable = TextOf(ValueOf(plist, "CFBundleExecutable", CFStringGetTypeID()));
    if (executable.empty() || executable.find('/') != std::string::npos) {
        whyNot = "Info.plist has no usable CFBundleExecutable";
        return false;
    }
    info.executablePath = path + "/Contents/MacOS/" + executable;
    struct stat status{};
    if (stat(info.executablePath.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        whyNot = "the executable Contents/MacOS/" + executable + " is missing";
        return false;
    }
    return true;
}

} // namespace

bool ReadBundleInfo(const std::string& path, BundleInfo& info, std::string& whyNot)
{
    info = BundleInfo{};
    info.path = path;
    info.name = BaseName(path);
    std::string error;
    const CFPropertyListRef plist = ReadPropertyListFile(path + "/Contents/Info.plist", error);
    if (plist == nullptr) {
        whyNot = "no readable Info.plist (" + error + ")";
        return false;
    }
    bool usable = false;
    if (CFGetTypeID(plist) != CFDictionaryGetTypeID()) {
        whyNot = "Info.plist holds no dictionary";
    } else {
        usable = ReadFrom(static_cast<CFDictionaryRef>(plist), path, info, whyNot);
    }
    CFRelease(plist);
    return usable;
}

} // namespace pelio::host
