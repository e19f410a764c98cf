#include "Storage.h"

#include "PropertyListFile.h"

#include <AudioServer/Text.h>

#include <CoreAudio/AudioHardwareBase.h>

#include <sys/stat.h>

#include <utility>

namespace pelio::host {

namespace {

CFMutableDictionaryRef NewDictionary()
{
    return CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

bool IsKey(CFStringRef key)
{
    return key != nullptr && CFGetTypeID(key) == CFStringGetTypeID();
}

} // namespace

Storage::Storage(std::string path)
    : mPath(std::move(path))
    , mValues(NewDictionary())
{
}

Storage::~Storage()
{
    CFRelease(mValues);
}

bool Storage::Load(std::string& error)
{
    struct stat status{};
    if (stat(mPath.c_str(), &status) != 0) {
        return true;
    }
    const CFPropertyListRef list = ReadPropertyListFile(mPath, error);
    if (list == nullptr) {
        return false;
    }
    if (CFGetTypeID(list) != CFDictionaryGetTypeID()) {
        CFRelease(list);
        error = mPath + " holds no dictionary";
        return false;
    }
    const auto loaded = static_cast<CFMutableDictionaryRef>(const_cast<void*>(
        CFPropertyListCreateDeepCopy(kCFAllocatorDefault, list, kCFPropertyListMutableContainers)));
    CFRelease(list);
    const std::lock_guard<std::mutex> lock(mMutex);
    CFRelease(mValues);
    mValues = loaded;
    mChanged = false;
    return true;
}

bool Storage::Save(std::string& error)
{
    const std::lock_guard<std::mutex> lock(mMutex);
    if (!mChanged) {
        return true;
    }
    if (!WritePropertyListFile(mPath, mValues, error)) {
        return false;
    }
    mChanged = false;
    return true;
}

OSStatus Storage::Copy(CFStringRef key, CFPropertyListRef* outValue) const
{
    if (!IsKey(key) || outValue == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    const std::lock_guard<std::mutex> lock(mMutex);
    const CFPropertyListRef value = CFDictionaryGetValue(mValues, key);
    *outValue = value != nullptr
        ? CFPropertyListCreateDeepCopy(kCFAllocatorDefault, value, kCFPropertyListImmutable)
        : nullptr;
    return kAudioHardwareNoError;
}

OSStatus Storage::Write(CFStringRef key, CFPropertyListRef value)
{
    if (!IsKey(key) || value == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    const CFPropertyListRef copy = CFPropertyListCreateDeepCopy(kCFAllocatorDefault, value, kCFPropertyListImmutable);
    if (copy == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    const std::lock_guard<std::mutex> lock(mMutex);
    CFDictionarySetValue(mValues, key, copy);
    CFRelease(copy);
    mChanged = true;
    return kAudioHardwareNoError;
}

OSStatus Storage::Delete(CFStringRef key)
{
    if (!IsKey(key)) {
        return kAudioHardwareIllegalOperationError;
    }
    const std::lock_guard<std::mutex> lock(mMutex);
    if (CFDictionaryContainsKey(mValues, key)) {
        CFDictionaryRemoveValue(mValues, key);
        mChanged = true;
    }
    return kAudioHardwareNoError;
}

std::string Storage::CopyText(const char* key) const
{
    const CFStringRef keyString = audioserver::CreateString(key);
    CFPropertyListRef value = nullptr;
    Copy(keyString, &value);
    CFRelease(keyString);
    std::string text;
    if (value != nullptr) {
        if (CFGetTypeID(value) == CFStringGetTypeID()) {
            audioserver::CopyText(static_cast<CFStringRef>(value), text);
        }
        CFRelease(value);
    }
    return text;
}

OSStatus Storage::WriteText(const char* key, const std::string& text)
{
    const CFStringRef keyString = audioserver::CreateString(key);
    const CFStringRef value = audioserver::CreateString(text);
    const OSStatus status = value != nullptr ? Write(keyString, value) : kAudioHardwareIllegalOperationError;
    if (value != nullptr) {
        CFRelease(value);
    }
    CFRelease(keyString);
    return status;
}

} // namespace pelio::host
