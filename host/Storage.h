#pragma once

// pelio::host::Storage: property lists kept under string keys in one file, the storage that the
// host interface offers one plug-in (CopyFromStorage, WriteToStorage, DeleteFromStorage) and the
// record of the server's own settings.
//
// Load reads the file once; the operations then work on memory and Save writes the file back
// (as XML, replacing it whole) when something changed. Values are kept as deep copies, so a
// caller's later changes never show, and Copy hands out a new deep copy that the caller owns.
// A missing key copies out as null with status 0, and deleting one succeeds. Keys must be
// strings and values property lists; anything else is refused with
// kAudioHardwareIllegalOperationError and changes nothing.
//
// Thread safety: every operation may run on any thread at once (one mutex). Allocates and (Load,
// Save) does file IO: never for a real-time thread.

#include <CoreFoundation/CoreFoundation.h>
#include <MacTypes.h>

#include <mutex>
#include <string>

namespace pelio::host {

class Storage
{
public:
    explicit Storage(std::string path);
    ~Storage();
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    const std::string& GetPath() const { return mPath; }

    // Reads the file. A missing file is an empty storage; a file that cannot be read or holds no
    // dictionary leaves the storage empty and returns false with the reason.
    bool Load(std::string& error);
    // Writes the file when a value changed since Load or the last Save.
    bool Save(std::string& error);

    OSStatus Copy(CFStringRef key, CFPropertyListRef* outValue) const;
    OSStatus Write(CFStringRef key, CFPropertyListRef value);
    OSStatus Delete(CFStringRef key);

    // The text stored under `key`, or empty when there is none or it is no string.
    std::string CopyText(const char* key) const;
    OSStatus WriteText(const char* key, const std::string& text);

private:
    const std::string mPath;
    mutable std::mutex mMutex;
    CFMutableDictionaryRef mValues;
    bool mChanged = false;
};

} // namespace pelio::host
