// The simulated audio server's socket protocol, from the bytes up: the message decoder on its own,
// and a running server (serving the built PelioDriver bundle) handling a connection that sends the
// input.
//
// The input is a sequence of chunks, read from the front (FuzzInput.h); the first byte of each says
// what follows:
// - a framed request: kind, payload length and payload, behind a header with the right magic and
//   version and a size that is the payload's (or, rarely, another);
// - raw bytes, sent as they are;
// - a request built field by field (object, address, qualifier, data) and encoded, so that deep
//   requests reach the driver without the fuzzer having to find the encoding first.
// Kinds are the property requests' and the play requests' (a StartPlaying that the server takes
// starts IO on the device, whose handler then sends to the Pelio port). Every payload also goes to
// the decoder directly: what decodes must encode again, and the result
// must decode to the same encoding (the wire form is canonical after one round).
//
// The connection then half-closes, and every answer the server gives must be a well-formed
// response to a request kind; no more answers than requests, and the server must close the
// connection in time (a hang is a finding). The server runs for the whole fuzzing session, as the
// real one does; only its socket and state folder are the target's own.

#include "FuzzInput.h"

#include "PropertySelectors.h"
#include "Server.h"

#include <AudioServer/Protocol.h>
#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CoreFoundation.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using pelio::fuzz::FuzzInput;
namespace protocol = audioserver;

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "ServerFuzzer: %s\n", what);
        std::abort();
    }
}

// Answers slower than this mean the server is stuck.
constexpr int kAnswerTimeoutMs = 10000;

constexpr AudioObjectID kObjectIDs[] = {kAudioObjectSystemObject, 2, 3, 4, 5, 6, 0, 0xFFFFFFFF};
constexpr AudioObjectPropertySelector kSystemSelectors[] = {
    kAudioHardwarePropertyDevices,
    kAudioHardwarePropertyDefaultOutputDevice,
    kAudioHardwarePropertyDefaultSystemOutputDevice,
    kAudioHardwarePropertyDefaultInputDevice,
    kAudioHardwarePropertyTranslateUIDToDevice,
    kAudioHardwarePropertyPlugInList,
    kAudioHardwarePropertyTranslateBundleIDToPlugIn,
};
constexpr AudioObjectPropertyScope kScopes[] = {kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyScopeOutput,
                                                kAudioObjectPropertyScopeInput, kAudioObjectPropertyScopeWildcard};
constexpr AudioObjectPropertyElement kElements[] = {kAudioObjectPropertyElementMain, 1,
                                                    kAudioObjectPropertyElementWildcard};
constexpr UInt32 kSizes[] = {0, 4, 8, 40, 1, 7, 16, 100, 4096, protocol::kMaxPropertyDataSize, 0xFFFFFFFF};

// One server for the whole session, never stopped: its threads may still run at exit.
class Served
{
public:
    Served()
    {
        char pattern[] = "/tmp/pelio-server-fuzz-XXXXXX";
        Require(mkdtemp(pattern) != nullptr, "no temporary folder");
        mFolder = pattern;
        mSocket = mFolder + "/host.sock";
        pelio::host::ServerOptions options;
        options.plugInFolder = PELIO_PLUGIN_FOLDER;
        options.stateFolder = mFolder + "/state";
        options.socketPath = mSocket;
        mServer = new pelio::host::Server(std::move(options));
        Require(mServer->Start(), "the server does not start");
    }

    const std::string& GetSocketPath() const { return mSocket; }

private:
    std::string mFolder;
    std::string mSocket;
    pelio::host::Server* mServer = nullptr;
};

const Served& GetServed()
{
    static const Served* const served = new Served();
    return *served;
}

// ---- Building messages ---------------------------------------------------------------------------

void AppendHeader(std::vector<UInt8>& message, UInt16 kind, UInt32 payloadSize)
{
    protocol::Writer header;
    header.U32(protocol::kMagic);
    header.U16(protocol::kVersion);
    header.U16(kind);
    header.U32(payloadSize);
    message.insert(message.end(), header.Bytes().begin(), header.Bytes().end());
}

UInt16 PickKind(FuzzInput& input)
{
    const std::uint8_t choice = input.U8();
    if (choice >= FuzzInput::kArbitrary) {
        return input.U16();
    }
    // The property requests and the play requests.
    return static_cast<UInt16>(1 + choice % 7);
}

// A CoreFoundation object of the kinds the wire carries, nested a little; the caller owns it.
CFTypeRef MakeObject(FuzzInput& input, int depth = 0)
{
    switch (input.U8() % (depth < 2 ? 7 : 5)) {
    case 0:
        return nullptr;
    case 1: {
        std::vector<std::uint8_t> text(input.U8() % 40);
        input.Fill(text);
        if (input.Flag()) {
            static constexpr char kUID[] = "local.pelio.audio.iphone.output";
            text.assign(kUID, kUID + sizeof kUID - 1);
        }
        return CFStringCreateWithBytes(kCFAllocatorDefault, text.data(), static_cast<CFIndex>(text.size()),
                                       kCFStringEncodingUTF8, false);
    }
    case 2: {
        const Float64 value = static_cast<Float64>(input.U32()) / 4.0;
        return CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &value);
    }
    case 3: {
        const SInt64 value = static_cast<SInt32>(input.U32());
        return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
    }
    case 4: {
        std::vector<std::uint8_t> bytes(input.U8() % 48);
        input.Fill(bytes);
        return CFDataCreate(kCFAllocatorDefault, bytes.data(), static_cast<CFIndex>(bytes.size()));
    }
    case 5: {
        const CFMutableArrayRef array = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
        for (int count = input.U8() % 4; count > 0; --count) {
            if (const CFTypeRef element = MakeObject(input, depth + 1)) {
                CFArrayAppendValue(array, element);
                CFRelease(element);
            }
        }
        return array;
    }
    default: {
        const CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
            kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        for (int count = input.U8() % 3; count > 0; --count) {
            char key[2] = {static_cast<char>('a' + input.U8() % 4), 0};
            const CFStringRef keyString = CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8);
            if (const CFTypeRef element = MakeObject(input, depth + 1)) {
                CFDictionarySetValue(dictionary, keyString, element);
                CFRelease(element);
            }
            CFRelease(keyString);
        }
        return dictionary;
    }
    }
}

protocol::Value MakeValue(FuzzInput& input)
{
    switch (input.U8() % 3) {
    case 0:
        return {};
    case 1: {
        std::vector<std::uint8_t> bytes(input.Pick(kSizes) % 1024);
        input.Fill(bytes);
        return protocol::Value::FromBytes(bytes.data(), bytes.size());
    }
    default:
        return protocol::Value::AdoptObject(MakeObject(input));
    }
}

protocol::PropertyRequest MakeRequest(FuzzInput& input)
{
    protocol::PropertyRequest request;
    request.kind = static_cast<protocol::Request>(1 + input.U8() % 4);
    request.objectID = input.Pick(kObjectIDs);
    const std::uint8_t choice = input.U8();
    if (choice < 0x40) {
        request.address.mSelector = kSystemSelectors[choice % std::size(kSystemSelectors)];
    } else if (choice < FuzzInput::kArbitrary) {
        request.address.mSelector = pelio::test::kKnownSelectors[choice % pelio::test::kKnownSelectors.size()];
    } else {
        request.address.mSelector = input.U32();
    }
    request.address.mScope = input.Pick(kScopes);
    request.address.mElement = input.Pick(kElements);
    request.qualifier = MakeValue(input);
    request.dataSize = input.Pick(kSizes);
    request.data = MakeValue(input);
    return request;
}

// ---- The decoder on its own ------------------------------------------------------------------------

// What decodes must encode again, and the result must decode to the same encoding.
template <class Message>
void CheckRoundTrip(UInt16 kind, const std::vector<UInt8>& payload,
                    bool (*decode)(UInt16, const std::vector<UInt8>&, Message&),
                    bool (*encode)(const Message&, std::vector<UInt8>&))
{
    Message message;
    if (!decode(kind, payload, message)) {
        return;
    }
    std::vector<UInt8> once;
    Require(encode(message, once), "a decoded request does not encode");
    Message again;
    Require(decode(kind, {once.begin() + protocol::kHeaderSize, once.end()}, again),
            "an encoded request does not decode");
    std::vector<UInt8> twice;
    Require(encode(again, twice) && twice == once, "a request does not survive a round trip");
}

void CheckDecoder(UInt16 kind, const std::vector<UInt8>& payload)
{
    CheckRoundTrip<protocol::PropertyRequest>(kind, payload, protocol::DecodeRequest, protocol::EncodeRequest);
    CheckRoundTrip<protocol::PlayRequest>(kind, payload, protocol::DecodePlayRequest, protocol::EncodePlayRequest);
    for (const auto responseKind : {protocol::Request::HasProperty, protocol::Request::GetPropertyDataSize,
                                    protocol::Request::GetPropertyData, protocol::Request::SetPropertyData}) {
        protocol::PropertyResponse response;
        if (protocol::DecodeResponse(responseKind, payload, response)) {
            std::vector<UInt8> once;
            Require(protocol::EncodeResponse(responseKind, response, once), "a decoded response does not encode");
        }
    }
}

// ---- The connection ----------------------------------------------------------------------------------

int Connect(const std::string& path)
{
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Require(socket >= 0, "no socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    Require(::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0,
            "the server does not accept a connection");
    return socket;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Served& served = GetServed();
    FuzzInput input(data, size);

    std::vector<UInt8> stream;
    for (int chunk = 0; chunk < 32 && !input.IsEmpty(); ++chunk) {
        switch (input.U8() % 3) {
        case 0: {
            const UInt16 kind = PickKind(input);
            std::vector<UInt8> payload(input.U16() % 4096);
            input.Fill(payload);
            CheckDecoder(kind, payload);
            const bool lies = input.U8() == 0xFF;
            AppendHeader(stream, kind, lies ? input.U32() : static_cast<UInt32>(payload.size()));
            stream.insert(stream.end(), payload.begin(), payload.end());
            break;
        }
        case 1: {
            std::vector<UInt8> bytes(input.U8());
            input.Fill(bytes);
            stream.insert(stream.end(), bytes.begin(), bytes.end());
            break;
        }
        default: {
            const protocol::PropertyRequest request = MakeRequest(input);
            std::vector<UInt8> message;
            if (protocol::EncodeRequest(request, message)) {
                CheckDecoder(static_cast<UInt16>(request.kind), {message.begin() + protocol::kHeaderSize, message.end()});
                stream.insert(stream.end(), message.begin(), message.end());
            }
            break;
        }
        }
    }

    // Every message takes a header at least, whatever chunks its bytes came from.
    const std::size_t requests = stream.size() / protocol::kHeaderSize;

    const int socket = Connect(served.GetSocketPath());
    // At most 32 chunks of a few kilobytes: the stream fits the socket's buffers, so it is sent
    // whole before any answer is read. A send that fails means the server closed first.
    protocol::WriteMessage(socket, stream);
    ::shutdown(socket, SHUT_WR);

    std::size_t answers = 0;
    for (;;) {
        protocol::Header header;
        std::vector<UInt8> payload;
        const protocol::ReadStatus status =
            protocol::ReadMessage(socket, kAnswerTimeoutMs, kAnswerTimeoutMs, header, payload);
        if (status == protocol::ReadStatus::Closed) {
            break;
        }
        Require(status == protocol::ReadStatus::Message, "the server sent a broken answer or none in time");
        Require((header.kind & protocol::kResponseFlag) != 0, "the server sent a message that is not a response");
        const UInt16 kind = header.kind & static_cast<UInt16>(~protocol::kResponseFlag);
        if (protocol::IsPlayRequest(kind)) {
            protocol::PlayResponse response;
            Require(protocol::DecodePlayResponse(static_cast<protocol::PlayRequestKind>(kind), payload, response),
                    "the server's answer to a play request does not decode");
        } else {
            Require(protocol::IsRequest(kind), "the server answered a kind of request that does not exist");
            protocol::PropertyResponse response;
            Require(protocol::DecodeResponse(static_cast<protocol::Request>(kind), payload, response),
                    "the server's answer does not decode");
        }
        ++answers;
        Require(answers <= requests, "the server answered more requests than were sent");
    }
    ::close(socket);
    return 0;
}
