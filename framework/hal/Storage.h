#pragma once

// hal::Storage: small typed values that plug-in code keeps across restarts of the audio server.
// It stores nothing itself: every operation turns the key and the value into CoreFoundation
// objects and hands them to the host's storage operations (CopyFromStorage, WriteToStorage,
// DeleteFromStorage), which keep them per plug-in.
//
// Encodings, and what a read accepts back:
//   bytes    CFData                       only a CFData (empty or byte-less: an empty vector)
//   string   CFString, UTF-8               only a CFString
//   boolean  CFBoolean                     only a CFBoolean
//   integer  CFNumber, kCFNumberSInt64Type only a CFNumber whose value is an exact SInt64
//   float    CFNumber, kCFNumberFloat64Type only a CFNumber whose value is an exact Float64
//   custom   the caller's property list    anything: the host's object as it is
// Keys are CFStrings of their UTF-8 text.
//
// Every failure is a result, never an exception, and changes nothing: a key that is no text
// (invalid UTF-8, an embedded NUL) fails before the value is looked at, a value that cannot be
// encoded before the host is asked, and everything before the driver is initialised (no host
// yet). A read that fails, finds nothing or cannot decode what it found returns the type's empty
// value (empty vector or string, false, 0, 0.0, null) with false; a write or delete returns
// whether the host answered 0. Each case prints one message through the context's tracer,
// "Storage::CopyFromStorage() type=CFNumber key="volume" ..." and the like; nothing is traced
// as an operation.
//
// Threads: no lock and no state of its own, so any thread may call any operation at once; the
// host alone orders concurrent writes of one key. Cost: every operation creates CoreFoundation
// objects and calls into the host: configuration paths only, never the real-time IO thread.

#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CoreFoundation.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace hal {

class Context;

class Storage
{
public:
    explicit Storage(std::shared_ptr<const Context> context);

    std::shared_ptr<const Context> GetContext() const;

    std::pair<std::vector<UInt8>, bool> ReadBytes(const std::string& key) const;
    std::pair<std::string, bool> ReadString(const std::string& key) const;
    std::pair<bool, bool> ReadBoolean(const std::string& key) const;
    std::pair<SInt64, bool> ReadInt(const std::string& key) const;
    std::pair<Float64, bool> ReadFloat(const std::string& key) const;
    // The host's object, undecoded. When found, the caller owns the reference and releases it.
    std::pair<CFPropertyListRef, bool> ReadCustom(const std::string& key) const;

    bool WriteBytes(const std::string& key, const std::vector<UInt8>& value);
    bool WriteString(const std::string& key, const std::string& value);
    bool WriteBoolean(const std::string& key, bool value);
    bool WriteInt(const std::string& key, SInt64 value);
    bool WriteFloat(const std::string& key, Float64 value);
    // Hands `value` to the host as it is; the caller keeps its reference. Null cannot be encoded:
    // it fails without reaching the host.
    bool WriteCustom(const std::string& key, CFPropertyListRef value);

    bool Delete(const std::string& key);

private:
    // The steps every read, write and delete shares; `typeName` names the encoding in messages.
    template <class Value>
    std::pair<Value, bool> CopyFromStorage_(const char* typeName, const std::string& key) const;
    template <class Value>
    bool WriteToStorage_(const char* typeName, const std::string& key, const Value& value);
    bool DeleteFromStorage_(const std::string& key);

    const std::shared_ptr<const Context> mContext;
};

} // namespace hal
