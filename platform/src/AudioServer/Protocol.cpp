// The messages between the client calls and the simulated audio server: encoding, bounded
// decoding, and whole-message socket IO.
#include <AudioServer/Protocol.h>
#include <AudioServer/Text.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace audioserver {

namespace {

// Object types on the wire.
enum ObjectType : UInt8 {
    kNull = 0,
    kString = 1,
    kData = 2,
    kInteger = 3,
    kFloat = 4,
    kBoolean = 5,
    kArray = 6,
    kDictionary = 7,
    kURL = 8,
};

// A CoreFoundation reference held for the length of a scope.
class Owned {
public:
    explicit Owned(CFTypeRef object) : mObject(object) {}
    ~Owned() {
        if (mObject != nullptr) CFRelease(mObject);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    CFTypeRef Get() const { return mObject; }
    CFTypeRef Release() { return std::exchange(mObject, nullptr); }

private:
    CFTypeRef mObject;
};

bool WriteText(Writer& writer, CFStringRef string) {
    std::string text;
    if (!CopyText(string, text) || text.size() > kMaxPayloadSize) return false;
    writer.U32(static_cast<UInt32>(text.size()));
    writer.Raw(text.data(), text.size());
    return true;
}

void WriteHeader(std::vector<UInt8>& message, UInt16 kind, std::size_t payloadSize) {
    Writer header;
    header.U32(kMagic);
    header.U16(kVersion);
    header.U16(kind);
    header.U32(static_cast<UInt32>(payloadSize));
    message.insert(message.begin(), header.Bytes().begin(), header.Bytes().end());
}

void WriteAddress(Writer& writer, AudioObjectID objectID, const AudioObjectPropertyAddress& address) {
    writer.U32(objectID);
    writer.U32(address.mSelector);
    writer.U32(address.mScope);
    writer.U32(address.mElement);
}

// Waits until the socket can be read, for at most timeoutMs (negative: for ever).
bool WaitReadable(int socket, int timeoutMs) {
    pollfd entry{socket, POLLIN, 0};
    for (;;) {
        const int ready = poll(&entry, 1, timeoutMs);
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) return false;
    }
}

enum class Fill { Done, EndOfStream, Failed };

// Reads exactly size bytes, each wait bounded by timeoutMs.
Fill ReadExactly(int socket, UInt8* bytes, std::size_t size, int timeoutMs) {
    std::size_t done = 0;
    while (done < size) {
        if (!WaitReadable(socket, timeoutMs)) return Fill::Failed;
        const ssize_t count = recv(socket, bytes + done, size - done, 0);
        if (count == 0) return Fill::EndOfStream;
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return Fill::Failed;
        }
        done += static_cast<std::size_t>(count);
    }
    return Fill::Done;
}

}  // namespace

bool IsRequest(UInt16 kind) {
    return kind >= static_cast<UInt16>(Request::HasProperty) && kind <= static_cast<UInt16>(Request::SetPropertyData);
}

bool IsPlayRequest(UInt16 kind) {
    return kind >= static_cast<UInt16>(PlayRequestKind::StartPlaying) &&
           kind <= static_cast<UInt16>(PlayRequestKind::StopPlaying);
}

// ---- Value ------------------------------------------------------------------------------------

Value Value::FromBytes(const void* bytes, std::size_t size) {
    Value value;
    value.mKind = Kind::Bytes;
    const auto* first = static_cast<const UInt8*>(bytes);
    if (size > 0) value.mBytes.assign(first, first + size);
    return value;
}

Value Value::FromObject(CFTypeRef object) {
    return AdoptObject(object != nullptr ? CFRetain(object) : nullptr);
}

Value Value::AdoptObject(CFTypeRef object) {
    Value value;
    value.mKind = Kind::Object;
    value.mObject = object;
    return value;
}

Value::Value(Value&& other) noexcept
    : mKind(std::exchange(other.mKind, Kind::None)),
      mBytes(std::move(other.mBytes)),
      mObject(std::exchange(other.mObject, nullptr)) {}

Value& Value::operator=(Value&& other) noexcept {
    if (this != &other) {
        if (mObject != nullptr) CFRelease(mObject);
        mKind = std::exchange(other.mKind, Kind::None);
        mBytes = std::move(other.mBytes);
        mObject = std::exchange(other.mObject, nullptr);
    }
    return *this;
}

Value::~Value() {
    if (mObject != nullptr) CFRelease(mObject);
}

CFTypeRef Value::ReleaseObject() {
    return std::exchange(mObject, nullptr);
}

// ---- Writer -----------------------------------------------------------------------------------

void Writer::U8(UInt8 value) {
    mBytes.push_back(value);
}

void Writer::U16(UInt16 value) {
    U8(static_cast<UInt8>(value));
    U8(static_cast<UInt8>(value >> 8));
}

void Writer::U32(UInt32 value) {
    U16(static_cast<UInt16>(value));
    U16(static_cast<UInt16>(value >> 16));
}

void Writer::U64(UInt64 value) {
    U32(static_cast<UInt32>(value));
    U32(static_cast<UInt32>(value >> 32));
}

void Writer::Raw(const void* bytes, std::size_t size) {
    const auto* first = static_cast<const UInt8*>(bytes);
    if (size > 0) mBytes.insert(mBytes.end(), first, first + size);
}

bool Writer::WriteValue(const Value& value) {
    U8(static_cast<UInt8>(value.GetKind()));
    switch (value.GetKind()) {
    case Value::Kind::None:
        return true;
    case Value::Kind::Bytes:
        if (value.GetBytes().size() > kMaxPayloadSize) return false;
        U32(static_cast<UInt32>(value.GetBytes().size()));
        Raw(value.GetBytes().data(), value.GetBytes().size());
        return true;
    case Value::Kind::Object:
        return WriteObject(value.GetObject());
    }
    return false;
}

bool Writer::WriteObject(CFTypeRef object, unsigned depth) {
    if (depth > kMaxDepth) return false;
    if (object == nullptr) {
        U8(kNull);
        return true;
    }
    const CFTypeID type = CFGetTypeID(object);
    if (type == CFStringGetTypeID()) {
        U8(kString);
        return WriteText(*this, static_cast<CFStringRef>(object));
    }
    if (type == CFURLGetTypeID()) {
        const auto url = static_cast<CFURLRef>(object);
        // Only the URL's own text crosses; a relative URL would lose its base.
        if (CFURLGetBaseURL(url) != nullptr) return false;
        U8(kURL);
        return WriteText(*this, CFURLGetString(url));
    }
    if (type == CFDataGetTypeID()) {
        const auto data = static_cast<CFDataRef>(object);
        const CFIndex length = CFDataGetLength(data);
        if (length < 0 || static_cast<UInt64>(length) > kMaxPayloadSize) return false;
        U8(kData);
        U32(static_cast<UInt32>(length));
        Raw(CFDataGetBytePtr(data), static_cast<std::size_t>(length));
        return true;
    }
    if (type == CFBooleanGetTypeID()) {
        U8(kBoolean);
        U8(CFBooleanGetValue(static_cast<CFBooleanRef>(object)) ? 1 : 0);
        return true;
    }
    if (type == CFNumberGetTypeID()) {
        const auto number = static_cast<CFNumberRef>(object);
        if (CFNumberIsFloatType(number)) {
            Float64 value = 0;
            if (!CFNumberGetValue(number, kCFNumberFloat64Type, &value)) return false;
            UInt64 bits = 0;
            std::memcpy(&bits, &value, sizeof(bits));
            U8(kFloat);
            U64(bits);
        } else {
            SInt64 value = 0;
            if (!CFNumberGetValue(number, kCFNumberSInt64Type, &value)) return false;
            U8(kInteger);
            U64(static_cast<UInt64>(value));
        }
        return true;
    }
    if (type == CFArrayGetTypeID()) {
        const auto array = static_cast<CFArrayRef>(object);
        const CFIndex count = CFArrayGetCount(array);
        U8(kArray);
        U32(static_cast<UInt32>(count));
        for (CFIndex index = 0; index < count; ++index)
            if (!WriteObject(CFArrayGetValueAtIndex(array, index), depth + 1)) return false;
        return true;
    }
    if (type == CFDictionaryGetTypeID()) {
        const auto dictionary = static_cast<CFDictionaryRef>(object);
        const CFIndex count = CFDictionaryGetCount(dictionary);
        std::vector<const void*> keys(static_cast<std::size_t>(count));
        std::vector<const void*> values(static_cast<std::size_t>(count));
        CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
        U8(kDictionary);
        U32(static_cast<UInt32>(count));
        for (CFIndex index = 0; index < count; ++index) {
            const CFTypeRef key = keys[static_cast<std::size_t>(index)];
            if (key == nullptr || CFGetTypeID(key) != CFStringGetTypeID()) return false;
            if (!WriteText(*this, static_cast<CFStringRef>(key))) return false;
            if (!WriteObject(values[static_cast<std::size_t>(index)], depth + 1)) return false;
        }
        return true;
    }
    return false;
}

// ---- Reader -----------------------------------------------------------------------------------

bool Reader::Fail() {
    mFailed = true;
    mRemaining = 0;
    return false;
}

bool Reader::Take(std::size_t size, const UInt8*& bytes) {
    if (mFailed || size > mRemaining) return Fail();
    bytes = mNext;
    mNext += size;
    mRemaining -= size;
    return true;
}

bool Reader::U8(UInt8& value) {
    const UInt8* bytes = nullptr;
    if (!Take(1, bytes)) return false;
    value = bytes[0];
    return true;
}

bool Reader::U16(UInt16& value) {
    const UInt8* bytes = nullptr;
    if (!Take(2, bytes)) return false;
    value = static_cast<UInt16>(bytes[0] | (bytes[1] << 8));
    return true;
}

bool Reader::U32(UInt32& value) {
    const UInt8* bytes = nullptr;
    if (!Take(4, bytes)) return false;
    value = UInt32(bytes[0]) | (UInt32(bytes[1]) << 8) | (UInt32(bytes[2]) << 16) | (UInt32(bytes[3]) << 24);
    return true;
}

bool Reader::I32(SInt32& value) {
    UInt32 bits = 0;
    if (!U32(bits)) return false;
    value = static_cast<SInt32>(bits);
    return true;
}

bool Reader::U64(UInt64& value) {
    UInt32 low = 0;
    UInt32 high = 0;
    if (!U32(low) || !U32(high)) return false;
    value = UInt64(low) | (UInt64(high) << 32);
    return true;
}

bool Reader::ReadValue(Value& value) {
    UInt8 kind = 0;
    if (!U8(kind)) return false;
    switch (static_cast<Value::Kind>(kind)) {
    case Value::Kind::None:
        value = Value();
        return true;
    case Value::Kind::Bytes: {
        UInt32 size = 0;
        const UInt8* bytes = nullptr;
        if (!U32(size) || !Take(size, bytes)) return false;
        value = Value::FromBytes(bytes, size);
        return true;
    }
    case Value::Kind::Object: {
        CFTypeRef object = nullptr;
        if (!ReadObject(object)) return false;
        value = Value::AdoptObject(object);
        return true;
    }
    }
    return Fail();
}

bool Reader::ReadObject(CFTypeRef& object, unsigned depth) {
    object = nullptr;
    UInt8 type = 0;
    if (depth > kMaxDepth || !U8(type)) return Fail();
    switch (type) {
    case kNull:
        return true;
    case kString:
    case kURL: {
        UInt32 size = 0;
        const UInt8* bytes = nullptr;
        if (!U32(size) || !Take(size, bytes)) return false;
        if (type == kString) {
            object = CFStringCreateWithBytes(kCFAllocatorDefault, bytes, size, kCFStringEncodingUTF8, false);
        } else {
            object = CFURLCreateWithBytes(kCFAllocatorDefault, bytes, size, kCFStringEncodingUTF8, nullptr);
        }
        return object != nullptr || Fail();
    }
    case kData: {
        UInt32 size = 0;
        const UInt8* bytes = nullptr;
        if (!U32(size) || !Take(size, bytes)) return false;
        object = CFDataCreate(kCFAllocatorDefault, bytes, size);
        return object != nullptr || Fail();
    }
    case kInteger: {
        UInt64 bits = 0;
        if (!U64(bits)) return false;
        const auto value = static_cast<SInt64>(bits);
        object = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
        return object != nullptr || Fail();
    }
    case kFloat: {
        UInt64 bits = 0;
        if (!U64(bits)) return false;
        Float64 value = 0;
        std::memcpy(&value, &bits, sizeof(value));
        object = CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &value);
        return object != nullptr || Fail();
    }
    case kBoolean: {
        UInt8 value = 0;
        if (!U8(value) || value > 1) return Fail();
        object = CFRetain(value != 0 ? kCFBooleanTrue : kCFBooleanFalse);
        return true;
    }
    case kArray: {
        UInt32 count = 0;
        // Every element takes at least one byte, so a count above what remains is a lie.
        if (!U32(count) || count > mRemaining) return Fail();
        const CFMutableArrayRef array = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
        Owned heldArray(array);
        for (UInt32 index = 0; index < count; ++index) {
            CFTypeRef element = nullptr;
            if (!ReadObject(element, depth + 1)) return false;
            Owned held(element);
            // Arrays and dictionaries cannot hold null.
            if (element == nullptr) return Fail();
            CFArrayAppendValue(array, element);
        }
        object = heldArray.Release();
        return true;
    }
    case kDictionary: {
        UInt32 count = 0;
        // Every pair takes at least five bytes (an empty key and a null value).
        if (!U32(count) || count > mRemaining / 5) return Fail();
        const CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
            kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        Owned heldDictionary(dictionary);
        for (UInt32 index = 0; index < count; ++index) {
            UInt32 keySize = 0;
            const UInt8* keyBytes = nullptr;
            if (!U32(keySize) || !Take(keySize, keyBytes)) return false;
            Owned key(CFStringCreateWithBytes(kCFAllocatorDefault, keyBytes, keySize, kCFStringEncodingUTF8, false));
            if (key.Get() == nullptr) return Fail();
            CFTypeRef element = nullptr;
            if (!ReadObject(element, depth + 1)) return false;
            Owned held(element);
            if (element == nullptr) return Fail();
            CFDictionarySetValue(dictionary, key.Get(), element);
        }
        object = heldDictionary.Release();
        return true;
    }
    default:
        return Fail();
    }
}

// ---- Messages ---------------------------------------------------------------------------------

bool EncodeRequest(const PropertyRequest& request, std::vector<UInt8>& message) {
    Writer writer;
    WriteAddress(writer, request.objectID, request.address);
    if (!writer.WriteValue(request.qualifier)) return false;
    if (request.kind == Request::GetPropertyData) writer.U32(request.dataSize);
    if (request.kind == Request::SetPropertyData && !writer.WriteValue(request.data)) return false;
    if (writer.Bytes().size() > kMaxPayloadSize) return false;
    message = std::move(writer.Bytes());
    WriteHeader(message, static_cast<UInt16>(request.kind), message.size());
    return true;
}

bool EncodeResponse(Request kind, const PropertyResponse& response, std::vector<UInt8>& message) {
    Writer writer;
    writer.I32(response.status);
    switch (kind) {
    case Request::HasProperty:
        writer.U8(response.hasProperty ? 1 : 0);
        break;
    case Request::GetPropertyDataSize:
        writer.U32(response.dataSize);
        break;
    case Request::GetPropertyData:
        if (!writer.WriteValue(response.data)) return false;
        break;
    case Request::SetPropertyData:
        break;
    }
    if (writer.Bytes().size() > kMaxPayloadSize) return false;
    message = std::move(writer.Bytes());
    WriteHeader(message, static_cast<UInt16>(static_cast<UInt16>(kind) | kResponseFlag), message.size());
    return true;
}

bool DecodeRequest(UInt16 kind, const std::vector<UInt8>& payload, PropertyRequest& request) {
    if (!IsRequest(kind)) return false;
    Reader reader(payload.data(), payload.size());
    request.kind = static_cast<Request>(kind);
    reader.U32(request.objectID);
    reader.U32(request.address.mSelector);
    reader.U32(request.address.mScope);
    reader.U32(request.address.mElement);
    reader.ReadValue(request.qualifier);
    if (request.kind == Request::GetPropertyData && reader.U32(request.dataSize) &&
        request.dataSize > kMaxPropertyDataSize)
        return false;
    if (request.kind == Request::SetPropertyData) reader.ReadValue(request.data);
    return reader.AtEnd();
}

bool DecodeResponse(Request kind, const std::vector<UInt8>& payload, PropertyResponse& response) {
    Reader reader(payload.data(), payload.size());
    reader.I32(response.status);
    switch (kind) {
    case Request::HasProperty: {
        UInt8 answer = 0;
        if (reader.U8(answer) && answer > 1) return false;
        response.hasProperty = answer != 0;
        break;
    }
    case Request::GetPropertyDataSize:
        reader.U32(response.dataSize);
        break;
    case Request::GetPropertyData:
        reader.ReadValue(response.data);
        break;
    case Request::SetPropertyData:
        break;
    }
    return reader.AtEnd();
}

bool EncodePlayRequest(const PlayRequest& request, std::vector<UInt8>& message) {
    Writer writer;
    switch (request.kind) {
    case PlayRequestKind::StartPlaying:
        if (request.bundleID.size() > kMaxBundleIDSize) return false;
        writer.U32(request.deviceID);
        writer.U32(static_cast<UInt32>(request.bundleID.size()));
        writer.Raw(request.bundleID.data(), request.bundleID.size());
        break;
    case PlayRequestKind::PlayFrames: {
        const std::size_t frames = request.samples.size() / kPlayChannels;
        if (frames == 0 || frames > kMaxFramesPerMessage || request.samples.size() % kPlayChannels != 0) return false;
        writer.U32(static_cast<UInt32>(frames));
        for (const Float32 sample : request.samples) {
            UInt32 bits = 0;
            std::memcpy(&bits, &sample, sizeof(bits));
            writer.U32(bits);
        }
        break;
    }
    case PlayRequestKind::StopPlaying:
        break;
    default:
        return false;
    }
    message = std::move(writer.Bytes());
    WriteHeader(message, static_cast<UInt16>(request.kind), message.size());
    return true;
}

bool EncodePlayResponse(PlayRequestKind kind, const PlayResponse& response, std::vector<UInt8>& message) {
    if (!IsPlayRequest(static_cast<UInt16>(kind))) return false;
    Writer writer;
    writer.I32(response.status);
    if (kind == PlayRequestKind::StartPlaying) {
        writer.U32(response.deviceID);
        writer.U32(response.clientID);
    } else if (kind == PlayRequestKind::StopPlaying) {
        writer.U64(response.framesPlayed);
        writer.U64(response.framesMissed);
        writer.U64(response.cycles);
    }
    message = std::move(writer.Bytes());
    WriteHeader(message, static_cast<UInt16>(static_cast<UInt16>(kind) | kResponseFlag), message.size());
    return true;
}

bool DecodePlayRequest(UInt16 kind, const std::vector<UInt8>& payload, PlayRequest& request) {
    if (!IsPlayRequest(kind)) return false;
    Reader reader(payload.data(), payload.size());
    request.kind = static_cast<PlayRequestKind>(kind);
    if (request.kind == PlayRequestKind::StartPlaying) {
        UInt32 size = 0;
        if (!reader.U32(request.deviceID) || !reader.U32(size) || size > kMaxBundleIDSize) return false;
        request.bundleID.resize(size);
        for (char& character : request.bundleID) {
            UInt8 byte = 0;
            if (!reader.U8(byte)) return false;
            character = static_cast<char>(byte);
        }
    } else if (request.kind == PlayRequestKind::PlayFrames) {
        UInt32 frames = 0;
        // The count is checked against the exact payload size before anything is allocated for it.
        if (!reader.U32(frames) || frames == 0 || frames > kMaxFramesPerMessage ||
            payload.size() != 4 + std::size_t{frames} * kPlayChannels * 4)
            return false;
        request.samples.resize(std::size_t{frames} * kPlayChannels);
        for (Float32& sample : request.samples) {
            UInt32 bits = 0;
            reader.U32(bits);
            std::memcpy(&sample, &bits, sizeof(sample));
        }
    }
    return reader.AtEnd();
}

bool DecodePlayResponse(PlayRequestKind kind, const std::vector<UInt8>& payload, PlayResponse& response) {
    if (!IsPlayRequest(static_cast<UInt16>(kind))) return false;
    Reader reader(payload.data(), payload.size());
    reader.I32(response.status);
    if (kind == PlayRequestKind::StartPlaying) {
        reader.U32(response.deviceID);
        reader.U32(response.clientID);
    } else if (kind == PlayRequestKind::StopPlaying) {
        reader.U64(response.framesPlayed);
        reader.U64(response.framesMissed);
        reader.U64(response.cycles);
    }
    return reader.AtEnd();
}

// ---- Sockets ----------------------------------------------------------------------------------

ReadStatus ReadMessage(int socket, int firstByteTimeoutMs, int stallTimeoutMs, Header& header,
                       std::vector<UInt8>& payload) {
    UInt8 bytes[kHeaderSize];
    switch (ReadExactly(socket, bytes, 1, firstByteTimeoutMs)) {
    case Fill::Done:
        break;
    case Fill::EndOfStream:
        return ReadStatus::Closed;
    case Fill::Failed:
        return ReadStatus::Failed;
    }
    switch (ReadExactly(socket, bytes + 1, kHeaderSize - 1, stallTimeoutMs)) {
    case Fill::Done:
        break;
    case Fill::EndOfStream:
        return ReadStatus::Malformed;
    case Fill::Failed:
        return ReadStatus::Failed;
    }
    Reader reader(bytes, kHeaderSize);
    reader.U32(header.magic);
    reader.U16(header.version);
    reader.U16(header.kind);
    reader.U32(header.payloadSize);
    if (header.magic != kMagic || header.version != kVersion || header.payloadSize > kMaxPayloadSize)
        return ReadStatus::Malformed;
    payload.resize(header.payloadSize);
    switch (ReadExactly(socket, payload.data(), payload.size(), stallTimeoutMs)) {
    case Fill::Done:
        return ReadStatus::Message;
    case Fill::EndOfStream:
        return ReadStatus::Malformed;
    case Fill::Failed:
        return ReadStatus::Failed;
    }
    return ReadStatus::Failed;
}

bool WriteMessage(int socket, const std::vector<UInt8>& message) {
    std::size_t done = 0;
    while (done < message.size()) {
        const ssize_t count = send(socket, message.data() + done, message.size() - done, MSG_NOSIGNAL);
        if (count < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace audioserver
