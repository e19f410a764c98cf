#include "PelioHandler.h"

#include "DatagramReceiver.h"

#include <CoreAudio/AudioHardwareBase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace pelio {
namespace {

using namespace std::chrono_literals;

// Long enough for a loaded machine under a sanitizer; a passing test waits only as long as the
// sender takes.
constexpr std::chrono::milliseconds kArrival = 5s;
// How long silence must last before a test takes it that nothing more comes.
constexpr std::chrono::milliseconds kQuiet = 100ms;

// Bytes that differ from one position to the next and from one buffer to the next, so that a
// payload taken from the wrong place or the wrong buffer shows.
std::vector<std::byte> MakeBytes(std::size_t count, unsigned seed)
{
    std::vector<std::byte> bytes(count);
    for (std::size_t index = 0; index < count; ++index) {
        bytes[index] = static_cast<std::byte>((index * 7 + index / 251 + seed * 13) & 0xFF);
    }
    return bytes;
}

void Write(PelioHandler& handler, const std::vector<std::byte>& bytes)
{
    handler.OnWriteMixedOutput(nullptr, 0.0, 0.0, bytes.data(), static_cast<UInt32>(bytes.size()));
}

void WriteOneFrame(PelioHandler& handler, unsigned seed)
{
    Write(handler, MakeBytes(PelioHandler::kBytesPerFrame, seed));
}

// The header as the wire format spells it out, byte by byte.
std::vector<std::byte> ExpectedHeader(std::uint32_t sequence, std::uint16_t frameCount)
{
    const auto byte = [](unsigned value) { return static_cast<std::byte>(value & 0xFF); };
    return {byte('P'),           byte('E'),           byte('L'),      byte('O'),
            byte(sequence),      byte(sequence >> 8), byte(sequence >> 16), byte(sequence >> 24),
            byte(0x80),          byte(0xBB),          byte(0x00),     byte(0x00), // 48000
            byte(2),             byte(0),             byte(frameCount), byte(frameCount >> 8)};
}

std::vector<std::byte> HeaderOf(const Datagram& datagram)
{
    const std::size_t headerBytes = std::min<std::size_t>(datagram.bytes.size(), PelioHandler::kHeaderBytes);
    return {datagram.bytes.begin(), datagram.bytes.begin() + static_cast<std::ptrdiff_t>(headerBytes)};
}

bool HasPayload(const Datagram& datagram, std::span<const std::byte> expected)
{
    return std::ranges::equal(datagram.GetPayload(), expected);
}

// The handler's thread-start step as the tests steer it: it can fail as std::thread does, or
// hand back no thread; it can hold the sender back while a condition holds; and it counts the
// sender threads that exist at the same time.
class SteeredThreadStart
{
public:
    enum class Outcome { Start, Throw, ReturnNoThread };

    void SetOutcome(Outcome outcome) { mOutcome = outcome; }

    // Senders started from now on wait while `condition` holds before they run.
    void HoldWhile(std::function<bool()> condition) { mHoldWhile = std::move(condition); }

    PelioHandler::ThreadStart GetStep()
    {
        return [this](std::function<void()> sender) {
            switch (mOutcome) {
            case Outcome::Throw:
                throw std::system_error(EAGAIN, std::generic_category(), "no thread to give");
            case Outcome::ReturnNoThread:
                return std::thread();
            case Outcome::Start:
                break;
            }
            return std::thread([this, hold = mHoldWhile, sender = std::move(sender)] {
                const int existing = ++mExisting;
                int most = mMostAtOnce.load();
                while (existing > most && !mMostAtOnce.compare_exchange_weak(most, existing)) {
                }
                while (hold && hold()) {
                    std::this_thread::sleep_for(100us);
                }
                sender();
                --mExisting;
            });
        };
    }

    int GetExisting() const { return mExisting; }
    int GetMostAtOnce() const { return mMostAtOnce; }

private:
    Outcome mOutcome = Outcome::Start;
    std::function<bool()> mHoldWhile;
    std::atomic<int> mExisting{0};
    std::atomic<int> mMostAtOnce{0};
};

class PelioHandlerTest : public ::testing::Test
{
protected:
    // `count` datagrams, each of which must arrive within kArrival of the one before.
    std::vector<Datagram> Receive(std::size_t count)
    {
        std::vector<Datagram> datagrams;
        while (datagrams.size() < count) {
            auto datagram = receiver.Receive(kArrival);
            if (!datagram) {
                ADD_FAILURE() << "received " << datagrams.size() << " of " << count << " datagrams";
                break;
            }
            datagrams.push_back(std::move(*datagram));
        }
        return datagrams;
    }

    // Writes one frame made from `seed` and expects it as the next datagram, numbered `sequence`.
    void ExpectOneFrameSentAs(unsigned seed, std::uint32_t sequence)
    {
        WriteOneFrame(*handler, seed);
        const auto received = Receive(1);
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(received[0].GetSequence(), sequence);
        EXPECT_TRUE(HasPayload(received[0], MakeBytes(PelioHandler::kBytesPerFrame, seed)));
    }

    DatagramReceiver receiver;
    // Declared before the handler, which joins the threads it started when it goes.
    SteeredThreadStart threadStart;
    std::shared_ptr<PelioHandler> handler = std::make_shared<PelioHandler>(receiver.GetPort(), threadStart.GetStep());
};

TEST_F(PelioHandlerTest, PacksWholeFramesIntoDatagramsOfAtMost960Frames)
{
    struct Case
    {
        const char* name;
        std::size_t bytes;
        bool nullBuffer;
        std::vector<std::uint16_t> frameCounts;
    };
    const std::vector<Case> cases = {
        {"512 frames", 4096, false, {512}},
        {"1000 frames", 8000, false, {960, 40}},
        {"960 frames", 7680, false, {960}},
        {"1921 frames and 5 bytes", 1921 * 8 + 5, false, {960, 960, 1}},
        {"13 bytes", 13, false, {1}},
        {"7 bytes", 7, false, {}},
        {"no bytes", 0, false, {}},
        {"null buffer of 4096 bytes", 4096, true, {}},
    };

    ASSERT_EQ(handler->OnStartIO(), 0);
    std::uint32_t sequence = 100;
    unsigned seed = 0;
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto input = MakeBytes(testCase.bytes, ++seed);
        handler->OnWriteMixedOutput(nullptr, 0.0, 0.0, testCase.nullBuffer ? nullptr : input.data(),
                                    static_cast<UInt32>(input.size()));
        // A one-frame marker behind each case shows that nothing more was sent, and which
        // sequence number the case left for the next packet.
        const auto marker = MakeBytes(PelioHandler::kBytesPerFrame, 1000 + seed);
        Write(*handler, marker);

        const auto datagrams = Receive(testCase.frameCounts.size() + 1);
        ASSERT_EQ(datagrams.size(), testCase.frameCounts.size() + 1);
        std::size_t offset = 0;
        for (std::size_t index = 0; index < testCase.frameCounts.size(); ++index) {
            const Datagram& datagram = datagrams[index];
            const std::uint16_t frames = testCase.frameCounts[index];
            const std::size_t payloadBytes = std::size_t{frames} * PelioHandler::kBytesPerFrame;
            EXPECT_EQ(datagram.bytes.size(), PelioHandler::kHeaderBytes + payloadBytes);
            EXPECT_EQ(HeaderOf(datagram), ExpectedHeader(sequence++, frames));
            EXPECT_TRUE(HasPayload(datagram, std::span(input).subspan(offset, payloadBytes)));
            offset += payloadBytes;
        }
        EXPECT_EQ(HeaderOf(datagrams.back()), ExpectedHeader(sequence++, 1));
        EXPECT_TRUE(HasPayload(datagrams.back(), marker));
    }
}

TEST_F(PelioHandlerTest, EachStartContinuesTheSequenceOneHundredAboveTheLastNumberUsed)
{
    struct Run
    {
        int packetsWritten;
        std::uint32_t firstSequence;
    };
    // More packets than the ring holds in the first run: the dropped ones use up numbers too.
    const Run runs[] = {{37, 100}, {5, 237}, {1, 342}};
    unsigned seed = 0;
    for (const Run& run : runs) {
        SCOPED_TRACE(run.firstSequence);
        ASSERT_EQ(handler->OnStartIO(), 0);
        for (int packet = 0; packet < run.packetsWritten; ++packet) {
            WriteOneFrame(*handler, ++seed);
        }
        const auto first = Receive(1);
        ASSERT_EQ(first.size(), 1u);
        EXPECT_EQ(first[0].GetSequence(), run.firstSequence);
        handler->OnStopIO();
        // The joined sender has sent all it will; clear the way for the next run's first.
        receiver.ReceiveUntilQuiet(kQuiet);
    }
}

TEST_F(PelioHandlerTest, PacketsDroppedWhileTheRingIsFullLeaveAGapOfTheirNumber)
{
    std::atomic<bool> released{false};
    threadStart.HoldWhile([&released] { return !released.load(); });
    ASSERT_EQ(handler->OnStartIO(), 0);

    // 16 fit; the last 4 of 20 find the ring full.
    for (unsigned packet = 0; packet < 20; ++packet) {
        WriteOneFrame(*handler, packet);
    }
    released = true;
    const auto queued = Receive(16);
    ASSERT_EQ(queued.size(), 16u);
    for (unsigned packet = 0; packet < 16; ++packet) {
        EXPECT_EQ(queued[packet].GetSequence(), 100 + packet);
        EXPECT_TRUE(HasPayload(queued[packet], MakeBytes(PelioHandler::kBytesPerFrame, packet)));
    }

    // The ring has room again; the next packet carries the number after the four dropped ones.
    ExpectOneFrameSentAs(20, 120);
}

TEST_F(PelioHandlerTest, PacketsQueuedAtStopAreNeverSent)
{
    // The sender first runs once IO is stopped again, as one whose drain comes too late.
    threadStart.HoldWhile([handler = handler.get()] { return handler->GetIsRunning(); });
    ASSERT_EQ(handler->OnStartIO(), 0);
    for (unsigned packet = 0; packet < 3; ++packet) {
        WriteOneFrame(*handler, packet);
    }
    handler->OnStopIO();
    EXPECT_TRUE(receiver.ReceiveUntilQuiet(kQuiet).empty());

    // Nor does the next start send them: it begins with what is written after it.
    threadStart.HoldWhile(nullptr);
    ASSERT_EQ(handler->OnStartIO(), 0);
    ExpectOneFrameSentAs(3, 203);
}

TEST_F(PelioHandlerTest, StartingTwiceWithoutAStopLeavesOneSender)
{
    ASSERT_EQ(handler->OnStartIO(), 0);
    ASSERT_EQ(handler->OnStartIO(), 0);
    EXPECT_TRUE(handler->GetIsRunning());
    ExpectOneFrameSentAs(1, 200);
    EXPECT_EQ(threadStart.GetMostAtOnce(), 1);

    handler->OnStopIO();
    EXPECT_FALSE(handler->GetIsRunning());
    EXPECT_EQ(threadStart.GetExisting(), 0);
}

TEST_F(PelioHandlerTest, AStartWithoutASenderThreadFailsAndLeavesIOStopped)
{
    for (const auto outcome : {SteeredThreadStart::Outcome::Throw, SteeredThreadStart::Outcome::ReturnNoThread}) {
        SCOPED_TRACE(static_cast<int>(outcome));
        threadStart.SetOutcome(outcome);
        EXPECT_EQ(handler->OnStartIO(), kAudioHardwareUnspecifiedError);
        EXPECT_FALSE(handler->GetIsRunning());
        // IO calls and a stop after the failed start are harmless.
        Write(*handler, MakeBytes(4096, 1));
        handler->OnStopIO();
    }

    // Once threads can be had again, the handler starts and sends.
    threadStart.SetOutcome(SteeredThreadStart::Outcome::Start);
    ASSERT_EQ(handler->OnStartIO(), 0);
    EXPECT_TRUE(handler->GetIsRunning());
    const auto input = MakeBytes(4096, 2);
    Write(*handler, input);
    const auto first = Receive(1);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(HasPayload(first[0], input));
}

TEST_F(PelioHandlerTest, DestroyingARunningHandlerJoinsItsSenderFirst)
{
    // Under AddressSanitizer a sender that outlived its handler would read freed memory.
    for (unsigned round = 0; round < 10; ++round) {
        auto running = std::make_shared<PelioHandler>(receiver.GetPort(), threadStart.GetStep());
        ASSERT_EQ(running->OnStartIO(), 0);
        Write(*running, MakeBytes(8000, round));
        running.reset();
        EXPECT_EQ(threadStart.GetExisting(), 0);
    }
}

} // namespace
} // namespace pelio
