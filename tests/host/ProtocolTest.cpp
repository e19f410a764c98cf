// The message format between the client calls and the server: what it carries intact, and what
// a decoder must refuse before it trusts a length.

#include "HostTestSupport.h"

#include <AudioServer/Protocol.h>
#include <AudioServer/PropertyKinds.h>
#include <AudioServer/Text.h>

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>
#include <utility>
#include <string>
#include <vector>

namespace audioserver {
namespace {

using pelio::host::test::Held;


CFTypeRef Number(SInt64 value)
{
    return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
}

// {"name": "café", "bytes": <00 ff>, "count": -7, "ratio": 0.25, "on": true, "list": [1, "two", []],
//  "icon": file:///tmp/icon.png}
CFTypeRef MakeNestedObject()
{
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                  &kCFTypeDictionaryValueCallBacks);
    const auto put = [&](const char* key, CFTypeRef value) {
        Held keyString(CreateString(key));
        Held held(value);
        CFDictionarySetValue(dictionary, keyString.object, value);
    };
    put("name", CreateString("caf\xC3\xA9"));
    const UInt8 bytes[] = {0x00, 0xFF};
    put("bytes", CFDataCreate(kCFAllocatorDefault, bytes, 2));
    put("count", Number(-7));
    const Float64 ratio = 0.25;
    put("ratio", CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &ratio));
    put("on", CFRetain(kCFBooleanTrue));
    CFMutableArrayRef list = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
    Held one(Number(1));
    Held two(CreateString("two"));
    Held empty(CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks));
    CFArrayAppendValue(list, one.object);
    CFArrayAppendValue(list, two.object);
    CFArrayAppendValue(list, empty.object);
    put("list", list);
    const char* url = "file:///tmp/icon.png";
    put("icon", CFURLCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(url), std::strlen(url),
                                     kCFStringEncodingUTF8, nullptr));
    return dictionary;
}

PropertyRequest MakeSetRequest(Value qualifier, Value data)
{
    PropertyRequest request;
    request.kind = Request::SetPropertyData;
    request.objectID = 42;
    request.address = {'tcmd', kAudioObjectPropertyScopeOutput, 3};
    request.qualifier = std::move(qualifier);
    request.data = std::move(data);
    return request;
}

std::vector<UInt8> PayloadOf(const std::vector<UInt8>& message)
{
    return {message.begin() + kHeaderSize, message.end()};
}

TEST(Protocol, ARequestArrivesIntactWithBytesAndObjects)
{
    Held nested(MakeNestedObject());
    const UInt32 qualifierBytes[] = {1, 2, 3};
    std::vector<UInt8> message;
    ASSERT_TRUE(EncodeRequest(MakeSetRequest(Value::FromBytes(qualifierBytes, sizeof(qualifierBytes)),
                                             Value::FromObject(nested.object)),
                              message));
    EXPECT_EQ(message.size() - kHeaderSize, message[8] | (message[9] << 8) | (message[10] << 16));

    PropertyRequest decoded;
    ASSERT_TRUE(DecodeRequest(static_cast<UInt16>(Request::SetPropertyData), PayloadOf(message), decoded));
    EXPECT_EQ(decoded.objectID, 42u);
    EXPECT_EQ(decoded.address.mSelector, UInt32{'tcmd'});
    EXPECT_EQ(decoded.address.mScope, UInt32{kAudioObjectPropertyScopeOutput});
    EXPECT_EQ(decoded.address.mElement, 3u);
    ASSERT_EQ(decoded.qualifier.GetKind(), Value::Kind::Bytes);
    EXPECT_EQ(decoded.qualifier.GetBytes().size(), sizeof(qualifierBytes));
    EXPECT_EQ(std::memcmp(decoded.qualifier.GetBytes().data(), qualifierBytes, sizeof(qualifierBytes)), 0);
    ASSERT_EQ(decoded.data.GetKind(), Value::Kind::Object);
    // A new object, equal in every value to the one sent (URL text included).
    EXPECT_NE(decoded.data.GetObject(), nested.object);
    EXPECT_TRUE(CFEqual(decoded.data.GetObject(), nested.object));
}

TEST(Protocol, ResponsesOfEveryKindArriveIntact)
{
    struct Case
    {
        Request kind;
        PropertyResponse response;
    };
    PropertyResponse has;
    has.hasProperty = true;
    PropertyResponse size;
    size.status = kAudioHardwareBadPropertySizeError;
    size.dataSize = 56;
    PropertyResponse data;
    data.data = Value::AdoptObject(CreateString("Pelio iPhone"));
    PropertyResponse null;
    null.data = Value::FromObject(nullptr);

    for (auto* response : {&has, &size, &data, &null}) {
        const Request kind = response == &has    ? Request::HasProperty
                           : response == &size   ? Request::GetPropertyDataSize
                                                 : Request::GetPropertyData;
        std::vector<UInt8> message;
        ASSERT_TRUE(EncodeResponse(kind, *response, message));
        EXPECT_EQ(message[6] | (message[7] << 8), static_cast<UInt16>(kind) | kResponseFlag);
        PropertyResponse decoded;
        ASSERT_TRUE(DecodeResponse(kind, PayloadOf(message), decoded));
        EXPECT_EQ(decoded.status, response->status);
        EXPECT_EQ(decoded.hasProperty, response->hasProperty);
        EXPECT_EQ(decoded.dataSize, response->dataSize);
        EXPECT_EQ(decoded.data.GetKind(), response->data.GetKind());
        if (response->data.GetObject() != nullptr) {
            EXPECT_TRUE(CFEqual(decoded.data.GetObject(), response->data.GetObject()));
        } else {
            EXPECT_EQ(decoded.data.GetObject(), nullptr);
        }
    }
}

TEST(Protocol, EveryCutShortPayloadAndEveryTrailingByteIsRefused)
{
    Held nested(MakeNestedObject());
    std::vector<UInt8> message;
    ASSERT_TRUE(EncodeRequest(MakeSetRequest(Value::FromBytes("ab", 2), Value::FromObject(nested.object)), message));
    const std::vector<UInt8> payload = PayloadOf(message);
    for (std::size_t length = 0; length < payload.size(); ++length) {
        PropertyRequest decoded;
        EXPECT_FALSE(DecodeRequest(static_cast<UInt16>(Request::SetPropertyData),
                                   std::vector<UInt8>(payload.begin(), payload.begin() + length), decoded))
            << length;
    }
    std::vector<UInt8> longer = payload;
    longer.push_back(0);
    PropertyRequest decoded;
    EXPECT_FALSE(DecodeRequest(static_cast<UInt16>(Request::SetPropertyData), longer, decoded));
}

TEST(Protocol, PlayRequestsAndResponsesArriveIntactAndOnlyWithinTheirBounds)
{
    PlayRequest start;
    start.kind = PlayRequestKind::StartPlaying;
    start.deviceID = 7;
    start.bundleID = "local.pelio.caf\xC3\xA9";
    PlayRequest frames;
    frames.kind = PlayRequestKind::PlayFrames;
    // Values whose bits matter: a negative zero, the smallest subnormal, a NaN with a payload.
    frames.samples = {0.25f, -0.0f, 1.4e-45f, -1.0f, std::numeric_limits<Float32>::quiet_NaN(), 3.0f};
    PlayRequest stop;
    stop.kind = PlayRequestKind::StopPlaying;
    for (const PlayRequest* request : {&start, &frames, &stop}) {
        std::vector<UInt8> message;
        ASSERT_TRUE(EncodePlayRequest(*request, message));
        EXPECT_EQ(message[6] | (message[7] << 8), static_cast<UInt16>(request->kind));
        PlayRequest decoded;
        ASSERT_TRUE(DecodePlayRequest(static_cast<UInt16>(request->kind), PayloadOf(message), decoded));
        EXPECT_EQ(decoded.kind, request->kind);
        EXPECT_EQ(decoded.deviceID, request->deviceID);
        EXPECT_EQ(decoded.bundleID, request->bundleID);
        // Bit for bit, so the NaN compares too.
        ASSERT_EQ(decoded.samples.size(), request->samples.size());
        for (std::size_t index = 0; index < decoded.samples.size(); ++index) {
            EXPECT_EQ(std::bit_cast<UInt32>(decoded.samples[index]), std::bit_cast<UInt32>(request->samples[index]));
        }
        // Neither family decodes the other's requests.
        PropertyRequest property;
        EXPECT_FALSE(DecodeRequest(static_cast<UInt16>(request->kind), PayloadOf(message), property));
    }
    PlayRequest notPlay;
    EXPECT_FALSE(DecodePlayRequest(static_cast<UInt16>(Request::HasProperty), {}, notPlay));

    PlayResponse started;
    started.deviceID = 3;
    started.clientID = 12;
    PlayResponse stopped;
    stopped.status = kAudioHardwareIllegalOperationError;
    stopped.framesPlayed = 1ull << 40;
    stopped.framesMissed = 512;
    stopped.cycles = 190;
    for (const auto& [kind, response] :
         {std::pair{PlayRequestKind::StartPlaying, started}, std::pair{PlayRequestKind::PlayFrames, PlayResponse{}},
          std::pair{PlayRequestKind::StopPlaying, stopped}}) {
        std::vector<UInt8> message;
        ASSERT_TRUE(EncodePlayResponse(kind, response, message));
        EXPECT_EQ(message[6] | (message[7] << 8), static_cast<UInt16>(kind) | kResponseFlag);
        PlayResponse decoded;
        ASSERT_TRUE(DecodePlayResponse(kind, PayloadOf(message), decoded));
        EXPECT_EQ(decoded.status, response.status);
        EXPECT_EQ(decoded.deviceID, response.deviceID);
        EXPECT_EQ(decoded.clientID, response.clientID);
        EXPECT_EQ(decoded.framesPlayed, response.framesPlayed);
        EXPECT_EQ(decoded.framesMissed, response.framesMissed);
        EXPECT_EQ(decoded.cycles, response.cycles);
    }

    // What a sender may not send at all.
    PlayRequest longName = start;
    longName.bundleID.assign(kMaxBundleIDSize + 1, 'x');
    PlayRequest none = frames;
    none.samples.clear();
    PlayRequest tooMany = frames;
    tooMany.samples.assign(std::size_t{kMaxFramesPerMessage + 1} * kPlayChannels, 0.0f);
    PlayRequest halfAFrame = frames;
    halfAFrame.samples.pop_back();
    for (const PlayRequest* request : {&longName, &none, &tooMany, &halfAFrame}) {
        std::vector<UInt8> message;
        EXPECT_FALSE(EncodePlayRequest(*request, message));
    }
}

// A Get request whose qualifier is the given encoded value.
std::vector<UInt8> GetRequestWithQualifier(const std::vector<UInt8>& qualifier)
{
    Writer writer;
    for (UInt32 field : {1u, UInt32{'uidd'}, UInt32{'glob'}, 0u}) {
        writer.U32(field);
    }
    writer.Raw(qualifier.data(), qualifier.size());
    writer.U32(4);
    return writer.Bytes();
}

std::vector<UInt8> Encoded(std::initializer_list<UInt8> head, UInt32 length = 0, bool withLength = false)
{
    std::vector<UInt8> bytes(head);
    if (withLength) {
        Writer writer;
        writer.U32(length);
        bytes.insert(bytes.end(), writer.Bytes().begin(), writer.Bytes().end());
    }
    return bytes;
}

TEST(Protocol, LengthsThatLieAndMalformedValuesAreRefused)
{
    // Arrays of one element each, nested `levels` deep around a boolean.
    const auto nested = [](unsigned levels) {
        std::vector<UInt8> bytes{2};
        for (unsigned level = 0; level < levels; ++level) {
            bytes.insert(bytes.end(), {6, 1, 0, 0, 0});
        }
        bytes.insert(bytes.end(), {5, 1});
        return bytes;
    };

    struct Case
    {
        const char* name;
        std::vector<UInt8> qualifier;
    };
    const Case cases[] = {
        {"unknown value kind", Encoded({7})},
        {"bytes longer than the payload", Encoded({1}, 1000, true)},
        {"bytes of length 4 GiB - 1", Encoded({1}, 0xFFFFFFFFu, true)},
        {"string longer than the payload", Encoded({2, 1}, 64, true)},
        {"array count above the bytes left", Encoded({2, 6}, 0x7FFFFFFFu, true)},
        {"dictionary count above the bytes left", Encoded({2, 7}, 1000000, true)},
        {"unknown object type", Encoded({2, 99})},
        {"boolean other than 0 or 1", Encoded({2, 5, 2})},
        {"string that is not UTF-8", {2, 1, 2, 0, 0, 0, 0xC3, 0x28}},
        {"null inside an array", {2, 6, 1, 0, 0, 0, 0}},
        {"nesting too deep", nested(kMaxDepth + 1)},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        PropertyRequest decoded;
        EXPECT_FALSE(DecodeRequest(static_cast<UInt16>(Request::GetPropertyData),
                                   GetRequestWithQualifier(testCase.qualifier), decoded));
    }
    // And for contrast, well-formed ones of the same shapes are taken.
    PropertyRequest decoded;
    EXPECT_TRUE(DecodeRequest(static_cast<UInt16>(Request::GetPropertyData),
                              GetRequestWithQualifier({2, 1, 1, 0, 0, 0, 'x'}), decoded));
    EXPECT_TRUE(DecodeRequest(static_cast<UInt16>(Request::GetPropertyData), GetRequestWithQualifier(nested(kMaxDepth)),
                              decoded));
    // A Get that asks for more than a message can carry, and a kind that is no request.
    Writer tooLarge;
    for (UInt32 field : {1u, UInt32{'dev#'}, UInt32{'glob'}, 0u}) {
        tooLarge.U32(field);
    }
    tooLarge.U8(0);
    tooLarge.U32(kMaxPropertyDataSize + 1);
    EXPECT_FALSE(DecodeRequest(static_cast<UInt16>(Request::GetPropertyData), tooLarge.Bytes(), decoded));
    EXPECT_FALSE(DecodeRequest(99, GetRequestWithQualifier({0}), decoded));
    EXPECT_FALSE(DecodeRequest(static_cast<UInt16>(Request::GetPropertyData) | kResponseFlag,
                               GetRequestWithQualifier({0}), decoded));
}

TEST(Protocol, ObjectsOutsideThePropertyListTypesAreNotSent)
{
    Held uuid(CFUUIDCreate(kCFAllocatorDefault));
    CFMutableDictionaryRef numberKeys = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                  &kCFTypeDictionaryValueCallBacks);
    Held heldDictionary(numberKeys);
    Held key(Number(1));
    CFDictionarySetValue(numberKeys, key.object, kCFBooleanTrue);
    for (CFTypeRef object : {uuid.object, static_cast<CFTypeRef>(numberKeys)}) {
        std::vector<UInt8> message;
        EXPECT_FALSE(EncodeRequest(MakeSetRequest(Value(), Value::FromObject(object)), message));
    }
}

TEST(Protocol, PropertyKindsComeFromTheStandardTableOrTheCustomList)
{
    struct Case
    {
        AudioObjectPropertySelector selector;
        bool known;
        bool qualifierIsObject;
        bool dataIsObject;
    };
    const Case standard[] = {
        {kAudioObjectPropertyName, true, false, true},
        {kAudioDevicePropertyDeviceUID, true, false, true},
        {kAudioDevicePropertyIcon, true, false, true},
        {kAudioHardwarePropertyTranslateUIDToDevice, true, true, false},
        {kAudioDevicePropertyStreams, true, false, false},
        {'tsta', false, false, false},
    };
    for (const Case& testCase : standard) {
        const auto kinds = StandardPropertyKinds(testCase.selector);
        ASSERT_EQ(kinds.has_value(), testCase.known) << testCase.selector;
        if (kinds) {
            EXPECT_EQ(kinds->qualifierIsObject, testCase.qualifierIsObject);
            EXPECT_EQ(kinds->dataIsObject, testCase.dataIsObject);
        }
    }
    const AudioServerPlugInCustomPropertyInfo list[] = {
        {'tsta', kAudioServerPlugInCustomPropertyDataTypeCFPropertyList, kAudioServerPlugInCustomPropertyDataTypeNone},
        {'tqul', kAudioServerPlugInCustomPropertyDataTypeNone, kAudioServerPlugInCustomPropertyDataTypeCFString},
    };
    std::vector<UInt8> bytes(sizeof(list));
    std::memcpy(bytes.data(), list, sizeof(list));
    const auto state = CustomPropertyKinds(bytes, 'tsta');
    ASSERT_TRUE(state);
    EXPECT_TRUE(state->dataIsObject);
    EXPECT_FALSE(state->qualifierIsObject);
    const auto qualified = CustomPropertyKinds(bytes, 'tqul');
    ASSERT_TRUE(qualified);
    EXPECT_FALSE(qualified->dataIsObject);
    EXPECT_TRUE(qualified->qualifierIsObject);
    EXPECT_FALSE(CustomPropertyKinds(bytes, 'none'));
    // A list cut inside an entry lists only the whole entries.
    bytes.resize(sizeof(list) - 1);
    EXPECT_FALSE(CustomPropertyKinds(bytes, 'tqul'));
}

} // namespace
} // namespace audioserver
