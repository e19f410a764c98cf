// AudioServer/Protocol.h — the messages between the substitute's client calls
// (AudioObjectGetPropertyData and its siblings) and the simulated audio server, over a Unix-domain
// stream socket.
//
// Every message is a 12-byte header and a payload:
//     u32 magic 'PLHS' | u16 version | u16 kind | u32 payload size
// followed by the payload. Integers are little-endian. A request kind is one of Request below; its
// response carries the same kind with kResponseFlag set. Request payloads:
//     u32 object ID | u32 selector | u32 scope | u32 element | value qualifier
//     GetPropertyData also: u32 offered data size;  SetPropertyData also: value data
// Response payloads start with the i32 status, then
//     HasProperty: u8 answer;  GetPropertyDataSize: u32 size;  GetPropertyData: value data;
//     SetPropertyData: nothing.
// The play requests carry an application's audio. They arrive on a connection of the
// application's own, which stays open while it plays: when it closes, for whatever reason, the
// server stops what the application was playing. Request payloads:
//     StartPlaying: u32 device ID (kAudioObjectUnknown: the default output device) | u32 length
//                   and the application's bundle ID in UTF-8 (at most kMaxBundleIDSize bytes)
//     PlayFrames:   u32 frame count (1 to kMaxFramesPerMessage) | that many frames of
//                   interleaved stereo, each sample the bits of an IEEE 32-bit float as a u32
//     StopPlaying:  nothing
// Response payloads start with the i32 status, then
//     StartPlaying: u32 device ID | u32 client ID;  PlayFrames: nothing;
//     StopPlaying:  u64 frames played | u64 frames of silence played in place of frames that came
//                   too late | u64 IO cycles that mixed the application.
// A value is u8 0 (none), u8 1 followed by u32 length and the raw bytes, or u8 2 followed by one
// CoreFoundation object: u8 type, then for strings and URLs u32 length and UTF-8 text, for data
// u32 length and bytes, for integers an i64, for floats an f64, for booleans a u8, for arrays u32
// count and the elements, for dictionaries u32 count and key/value pairs (keys are strings), or
// the type "null" alone.
//
// Bounds: a payload is at most kMaxPayloadSize bytes; every length and count is checked against
// the bytes that remain before anything is allocated for it; objects nest at most kMaxDepth deep;
// a payload must be consumed exactly. Anything else is malformed, and the receiver drops the
// connection that sent it.
//
// Version 2 added the play requests; a message of another version is malformed.
//
// Thread safety: the functions keep no state; any thread may call them. Objects are created and
// released through CoreFoundation, so none of this is for a real-time thread.
#pragma once

#include <CoreAudio/AudioHardwareBase.h>
#include <CoreFoundation/CoreFoundation.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace audioserver {

inline constexpr UInt32 kMagic = 'PLHS';
inline constexpr UInt16 kVersion = 2;
inline constexpr std::size_t kHeaderSize = 12;
inline constexpr UInt32 kMaxPayloadSize = 1u << 20;
// The most property data one request may carry or ask for; leaves room for the rest of a payload.
inline constexpr UInt32 kMaxPropertyDataSize = kMaxPayloadSize - 1024;
inline constexpr unsigned kMaxDepth = 32;
// Play requests: frames are stereo; one message carries at most this many.
inline constexpr UInt32 kPlayChannels = 2;
inline constexpr UInt32 kMaxFramesPerMessage = 8192;
inline constexpr UInt32 kMaxBundleIDSize = 1024;

enum class Request : UInt16 {
    HasProperty = 1,
    GetPropertyDataSize = 2,
    GetPropertyData = 3,
    SetPropertyData = 4,
};
// The play requests: kinds of their own, after those of Request.
enum class PlayRequestKind : UInt16 {
    StartPlaying = 5,
    PlayFrames = 6,
    StopPlaying = 7,
};
inline constexpr UInt16 kResponseFlag = 0x8000;

// True for the kinds of Request.
bool IsRequest(UInt16 kind);
// True for the kinds of PlayRequestKind.
bool IsPlayRequest(UInt16 kind);

struct Header {
    UInt32 magic = kMagic;
    UInt16 version = kVersion;
    UInt16 kind = 0;
    UInt32 payloadSize = 0;
};

// A property's qualifier or data as it crosses: nothing, raw bytes, or one CoreFoundation object
// (which may be null). Owns its object; move-only.
class Value {
public:
    enum class Kind : UInt8 { None = 0, Bytes = 1, Object = 2 };

    Value() = default;
    static Value FromBytes(const void* bytes, std::size_t size);
    // Retains the object (which may be null).
    static Value FromObject(CFTypeRef object);
    // Takes over one reference to the object.
    static Value AdoptObject(CFTypeRef object);

    Value(Value&& other) noexcept;
    Value& operator=(Value&& other) noexcept;
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;
    ~Value();

    Kind GetKind() const { return mKind; }
    const std::vector<UInt8>& GetBytes() const { return mBytes; }
    // The object, still owned by the value; null for a null object and for other kinds.
    CFTypeRef GetObject() const { return mObject; }
    // Hands the caller the value's reference to its object.
    CFTypeRef ReleaseObject();

private:
    Kind mKind = Kind::None;
    std::vector<UInt8> mBytes;
    CFTypeRef mObject = nullptr;
};

// Appends encoded fields to a byte vector.
class Writer {
public:
    void U8(UInt8 value);
    void U16(UInt16 value);
    void U32(UInt32 value);
    void I32(SInt32 value) { U32(static_cast<UInt32>(value)); }
    void U64(UInt64 value);
    void Raw(const void* bytes, std::size_t size);
    // False when the value holds an object that cannot be encoded (a type outside the list above,
    // a non-string key, nesting deeper than kMaxDepth, text that is not UTF-8); what was appended
    // so far is then of no use.
    bool WriteValue(const Value& value);
    bool WriteObject(CFTypeRef object, unsigned depth = 0);

    std::vector<UInt8>& Bytes() { return mBytes; }

private:
    std::vector<UInt8> mBytes;
};

// Reads encoded fields from a byte range. Each read fails (returns false, and every later read
// fails too) when it would pass the end or when what it reads is malformed.
class Reader {
public:
    Reader(const UInt8* bytes, std::size_t size) : mNext(bytes), mRemaining(size) {}

    bool U8(UInt8& value);
    bool U16(UInt16& value);
    bool U32(UInt32& value);
    bool I32(SInt32& value);
    bool U64(UInt64& value);
    bool ReadValue(Value& value);
    // A new object (the caller owns it; null is a valid result when isNull is set).
    bool ReadObject(CFTypeRef& object, unsigned depth = 0);

    // True when every byte was read and nothing failed.
    bool AtEnd() const { return !mFailed && mRemaining == 0; }
    bool Failed() const { return mFailed; }

private:
    bool Take(std::size_t size, const UInt8*& bytes);
    bool Fail();

    const UInt8* mNext;
    std::size_t mRemaining;
    bool mFailed = false;
};

struct PropertyRequest {
    Request kind = Request::HasProperty;
    AudioObjectID objectID = kAudioObjectUnknown;
    AudioObjectPropertyAddress address{};
    Value qualifier;
    UInt32 dataSize = 0;  // GetPropertyData: the size the caller offers
    Value data;           // SetPropertyData
};

struct PropertyResponse {
    OSStatus status = 0;
    bool hasProperty = false;  // HasProperty
    UInt32 dataSize = 0;       // GetPropertyDataSize
    Value data;                // GetPropertyData
};

struct PlayRequest {
    PlayRequestKind kind = PlayRequestKind::StartPlaying;
    AudioObjectID deviceID = kAudioObjectUnknown;  // StartPlaying
    std::string bundleID;                          // StartPlaying
    std::vector<Float32> samples;                  // PlayFrames: kPlayChannels per frame
};

struct PlayResponse {
    OSStatus status = 0;
    AudioObjectID deviceID = kAudioObjectUnknown;  // StartPlaying
    UInt32 clientID = 0;                           // StartPlaying
    UInt64 framesPlayed = 0;                       // StopPlaying
    UInt64 framesMissed = 0;                       // StopPlaying
    UInt64 cycles = 0;                             // StopPlaying
};

// Whole messages, header included. Encoding fails only for a value that cannot be encoded, a
// payload above kMaxPayloadSize, or a play request outside its bounds (a bundle ID too long, no
// frames, too many, or half a frame).
bool EncodeRequest(const PropertyRequest& request, std::vector<UInt8>& message);
bool EncodeResponse(Request kind, const PropertyResponse& response, std::vector<UInt8>& message);
bool EncodePlayRequest(const PlayRequest& request, std::vector<UInt8>& message);
bool EncodePlayResponse(PlayRequestKind kind, const PlayResponse& response, std::vector<UInt8>& message);

// Payloads (after the header). False for anything malformed, trailing bytes included, and for a
// kind of the other family of requests.
bool DecodeRequest(UInt16 kind, const std::vector<UInt8>& payload, PropertyRequest& request);
bool DecodeResponse(Request kind, const std::vector<UInt8>& payload, PropertyResponse& response);
bool DecodePlayRequest(UInt16 kind, const std::vector<UInt8>& payload, PlayRequest& request);
bool DecodePlayResponse(PlayRequestKind kind, const std::vector<UInt8>& payload, PlayResponse& response);

// ---- Sockets ---------------------------------------------------------------------------------

enum class ReadStatus {
    Message,    // a header with a plausible magic, version and size, and its whole payload
    Closed,     // the peer closed (or shut down) the connection between messages
    Malformed,  // a bad magic, version or size, or a message cut short
    Failed,     // a socket error, or a message that stalled for longer than the timeout
};

// Reads one message from a stream socket. Waits at most firstByteTimeoutMs for the message to
// begin (negative: as long as it takes, for a connection that idles between messages), then at
// most stallTimeoutMs for each further piece. The header is checked before the payload is read,
// so a lying size never makes it allocate more than kMaxPayloadSize.
ReadStatus ReadMessage(int socket, int firstByteTimeoutMs, int stallTimeoutMs, Header& header,
                       std::vector<UInt8>& payload);

// Writes all of the bytes; false on any error (a closed peer included: no SIGPIPE is raised).
bool WriteMessage(int socket, const std::vector<UInt8>& message);

}  // namespace audioserver
