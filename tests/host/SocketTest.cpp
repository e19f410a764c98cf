// The server's socket as a hostile or broken client meets it: every bad message closes its own
// connection, and the server goes on answering everybody else.

#include "HostTestSupport.h"

#include <AudioServer/Connection.h>
#include <AudioServer/Protocol.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelio::host::test {
namespace {

using namespace audioserver;

// Reads until the server closes; the bytes it sent, or nothing when it does not close in time.
std::optional<std::vector<UInt8>> DrainUntilClosed(int socket, int timeoutMs)
{
    std::vector<UInt8> received;
    for (;;) {
        pollfd entry{socket, POLLIN, 0};
        if (poll(&entry, 1, timeoutMs) <= 0) {
            return std::nullopt;
        }
        UInt8 buffer[4096];
        const ssize_t count = recv(socket, buffer, sizeof(buffer), 0);
        if (count <= 0) {
            return received;
        }
        received.insert(received.end(), buffer, buffer + count);
    }
}

std::vector<UInt8> Header(UInt32 magic, UInt16 version, UInt16 kind, UInt32 size)
{
    Writer writer;
    writer.U32(magic);
    writer.U16(version);
    writer.U16(kind);
    writer.U32(size);
    return writer.Bytes();
}

std::vector<UInt8> Message(UInt16 kind, const std::vector<UInt8>& payload)
{
    std::vector<UInt8> message = Header(kMagic, kVersion, kind, static_cast<UInt32>(payload.size()));
    message.insert(message.end(), payload.begin(), payload.end());
    return message;
}

std::vector<UInt8> Payload(std::initializer_list<UInt32> words, std::initializer_list<UInt8> tail = {})
{
    Writer writer;
    for (const UInt32 word : words) {
        writer.U32(word);
    }
    for (const UInt8 byte : tail) {
        writer.U8(byte);
    }
    return writer.Bytes();
}

constexpr UInt16 kGet = static_cast<UInt16>(Request::GetPropertyData);
constexpr UInt16 kHas = static_cast<UInt16>(Request::HasProperty);
constexpr UInt16 kStartPlaying = static_cast<UInt16>(PlayRequestKind::StartPlaying);
constexpr UInt16 kPlayFrames = static_cast<UInt16>(PlayRequestKind::PlayFrames);
constexpr UInt16 kStopPlaying = static_cast<UInt16>(PlayRequestKind::StopPlaying);

// StartPlaying on the default output device with a bundle ID of `size` bytes, of which `sent` follow.
std::vector<UInt8> StartPlaying(UInt32 size, std::size_t sent)
{
    std::vector<UInt8> payload = Payload({0, size});
    payload.resize(payload.size() + sent, 'x');
    return Message(kStartPlaying, payload);
}

// PlayFrames that says `frames` and carries `samples` samples.
std::vector<UInt8> PlayFrames(UInt32 frames, std::size_t samples)
{
    std::vector<UInt8> payload = Payload({frames});
    payload.resize(payload.size() + 4 * samples, 0);
    return Message(kPlayFrames, payload);
}

// GetPropertyData of the system object's default output device, 4 bytes offered.
std::vector<UInt8> GoodGet()
{
    return Message(kGet, Payload({1, 'dOut', 'glob', 0}, {0, 4, 0, 0, 0}));
}

std::vector<UInt8> Altered(std::vector<UInt8> bytes, std::size_t index, UInt8 value)
{
    bytes.at(index) = value;
    return bytes;
}

// A second client, connected before the trouble starts, must keep getting answers.
bool Answers(Connection& connection)
{
    PropertyRequest request;
    request.kind = Request::GetPropertyData;
    request.objectID = kAudioObjectSystemObject;
    request.address = {kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, 0};
    request.dataSize = sizeof(AudioObjectID);
    PropertyResponse response;
    return connection.Exchange(request, response) == 0 && response.status == 0
        && response.data.GetBytes().size() == sizeof(AudioObjectID);
}

class Socket : public StandInServerTest
{
protected:
    void SetUp() override
    {
        StandInServerTest::SetUp();
        ASSERT_TRUE(Answers(other));
    }

    void TearDown() override
    {
        other.Close();
        StandInServerTest::TearDown();
    }

    Connection other;
};

TEST_F(Socket, IsPrivateAndAnswersAWellFormedRequest)
{
    struct stat status{};
    ASSERT_EQ(stat(folders.socket.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    const int socket = ConnectToServer(folders.socket);
    ASSERT_GE(socket, 0);
    ASSERT_TRUE(WriteMessage(socket, GoodGet()));
    shutdown(socket, SHUT_WR);
    const auto received = DrainUntilClosed(socket, 10000);
    close(socket);
    ASSERT_TRUE(received);
    ASSERT_GE(received->size(), kHeaderSize);
    PropertyResponse response;
    ASSERT_TRUE(DecodeResponse(Request::GetPropertyData,
                               std::vector<UInt8>(received->begin() + kHeaderSize, received->end()), response));
    EXPECT_EQ(response.status, 0);
}

TEST_F(Socket, EachBadMessageClosesOnlyItsOwnConnection)
{
    std::vector<UInt8> cutShort = GoodGet();
    cutShort.resize(cutShort.size() - 3);
    // One byte more than the request needs, and the size says so.
    std::vector<UInt8> trailing = Altered(GoodGet(), 8, static_cast<UInt8>(GoodGet()[8] + 1));
    trailing.push_back(0);

    struct Case
    {
        const char* name;
        std::vector<UInt8> bytes;
    };
    const Case cases[] = {
        {"header cut short", {'S', 'H', 'L', 'P', 1}},
        {"payload cut short", cutShort},
        {"oversized", Header(kMagic, kVersion, kGet, kMaxPayloadSize + 1)},
        {"size of 4 GiB - 1", Header(kMagic, kVersion, kGet, 0xFFFFFFFFu)},
        {"wrong magic", Altered(GoodGet(), 0, 'X')},
        {"a later version", Altered(GoodGet(), 4, kVersion + 1)},
        {"the version before play requests", Altered(GoodGet(), 4, 1)},
        {"unknown request", Message(99, Payload({1, 'dOut', 'glob', 0}, {0}))},
        {"a response sent as a request", Message(kGet | kResponseFlag, Payload({0}, {0}))},
        {"payload of the wrong shape", Message(kHas, Payload({1, 'dOut'}))},
        {"trailing byte", trailing},
        {"qualifier length that lies", Message(kGet, Payload({1, 'uidd', 'glob', 0, 0x01000000, 0xFFFF}, {0}))},
        {"string length that lies", Message(kGet, Payload({1, 'uidd', 'glob', 0}, {2, 1, 0xFF, 0xFF, 0, 0, 'a'}))},
        {"array count that lies", Message(kGet, Payload({1, 'uidd', 'glob', 0}, {2, 6, 0xFF, 0xFF, 0xFF, 0x7F, 0}))},
        {"offered size above the limit", Message(kGet, Payload({1, 'dev#', 'glob', 0}, {0, 0, 0, 0xF0, 0}))},
        {"bundle ID longer than allowed", StartPlaying(kMaxBundleIDSize + 1, kMaxBundleIDSize + 1)},
        {"bundle ID length that lies", StartPlaying(100, 3)},
        {"start with a trailing byte", StartPlaying(2, 3)},
        {"no frames", PlayFrames(0, 0)},
        {"more frames than a message may carry", PlayFrames(kMaxFramesPerMessage + 1, 2 * (kMaxFramesPerMessage + 1))},
        {"frame count that lies", PlayFrames(2, 2)},
        {"half a frame", PlayFrames(1, 1)},
        {"frame count of 4 G - 1", PlayFrames(0xFFFFFFFFu, 2)},
        {"stop with a payload", Message(kStopPlaying, {0})},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const int socket = ConnectToServer(folders.socket);
        ASSERT_GE(socket, 0);
        ASSERT_TRUE(WriteMessage(socket, testCase.bytes));
        shutdown(socket, SHUT_WR);
        const auto received = DrainUntilClosed(socket, 10000);
        close(socket);
        ASSERT_TRUE(received) << "the server kept the connection open";
        EXPECT_TRUE(received->empty()) << "the server answered a bad message";
        EXPECT_TRUE(Answers(other));
    }
}

TEST_F(Socket, AMessageThatStallsHalfSentIsDroppedInTime)
{
    const int socket = ConnectToServer(folders.socket);
    ASSERT_GE(socket, 0);
    std::vector<UInt8> half = GoodGet();
    half.resize(kHeaderSize + 2);
    ASSERT_TRUE(WriteMessage(socket, half));
    // Still open for writing: only the server's own patience ends it.
    const auto received = DrainUntilClosed(socket, 20000);
    close(socket);
    ASSERT_TRUE(received);
    EXPECT_TRUE(received->empty());
    EXPECT_TRUE(Answers(other));
}

TEST_F(Socket, SurvivesABoundedRunOfMangledRequests)
{
    // Deterministic, so that a failure can be replayed.
    std::mt19937 random(20240611);
    const std::vector<std::vector<UInt8>> seeds = {
        GoodGet(),
        Message(kHas, Payload({2, 'lnam', 'glob', 0}, {0})),
        Message(static_cast<UInt16>(Request::GetPropertyDataSize), Payload({2, 'stm#', 'outp', 0}, {0})),
        Message(kGet, Payload({1, 'uidd', 'glob', 0}, {2, 1, 3, 0, 0, 0, 'u', 'i', 'd', 4, 0, 0, 0})),
        Message(kGet, Payload({2, 'tsta', 'glob', 0}, {0, 8, 0, 0, 0})),
        Message(static_cast<UInt16>(Request::SetPropertyData),
                Payload({2, 'tcmd', 'glob', 0}, {0, 2, 7, 2, 0, 0, 0, 'o', 'k', 0})),
        StartPlaying(4, 4),
        PlayFrames(2, 4),
    };
    constexpr int kRuns = 1000;
    for (int run = 0; run < kRuns; ++run) {
        std::vector<UInt8> bytes = seeds[random() % seeds.size()];
        switch (random() % 4) {
        case 0: // flip some bytes
            for (int flips = 1 + static_cast<int>(random() % 4); flips > 0; --flips) {
                bytes[random() % bytes.size()] ^= static_cast<UInt8>(1 + random() % 255);
            }
            break;
        case 1: // cut it anywhere
            bytes.resize(random() % bytes.size());
            break;
        case 2: // a random word in the payload, where lengths and counts live
            if (bytes.size() >= kHeaderSize + 4) {
                const std::size_t at = kHeaderSize + random() % (bytes.size() - kHeaderSize - 3);
                const UInt32 word = static_cast<UInt32>(random());
                std::memcpy(bytes.data() + at, &word, sizeof(word));
            }
            break;
        default: // random bytes appended, with the size fixed up to cover them
            for (int extra = 1 + static_cast<int>(random() % 16); extra > 0; --extra) {
                bytes.push_back(static_cast<UInt8>(random()));
            }
            {
                const UInt32 size = static_cast<UInt32>(bytes.size() - kHeaderSize);
                std::memcpy(bytes.data() + 8, &size, sizeof(size));
            }
            break;
        }
        SCOPED_TRACE("run " + std::to_string(run));
        const int socket = ConnectToServer(folders.socket);
        ASSERT_GE(socket, 0) << "the server is gone";
        WriteMessage(socket, bytes);
        shutdown(socket, SHUT_WR);
        // An answer or a close, but never a connection left hanging.
        ASSERT_TRUE(DrainUntilClosed(socket, 10000));
        close(socket);
        if (run % 50 == 49) {
            ASSERT_TRUE(Answers(other));
        }
    }
    EXPECT_TRUE(Answers(other));
}

} // namespace
} // namespace pelio::host::test
