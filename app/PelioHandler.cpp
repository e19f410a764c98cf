#include "PelioHandler.h"

#include <CoreAudio/AudioHardwareBase.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace pelio {

namespace {

constexpr std::array<std::byte, 4> kMagic{std::byte{'P'}, std::byte{'E'}, std::byte{'L'}, std::byte{'O'}};
constexpr std::uint32_t kSequenceStep = 100;
constexpr const char* kLoopbackAddress = "127.0.0.1";

// Byte by byte, so that the header reads the same on the wire from any host. Where the host is
// little-endian already, the compiler makes each of these one plain store.
void StoreLittleEndian(std::byte* destination, std::uint32_t value) noexcept HAL_NONBLOCKING
{
    destination[0] = static_cast<std::byte>(value);
    destination[1] = static_cast<std::byte>(value >> 8);
    destination[2] = static_cast<std::byte>(value >> 16);
    destination[3] = static_cast<std::byte>(value >> 24);
}

void StoreLittleEndian(std::byte* destination, std::uint16_t value) noexcept HAL_NONBLOCKING
{
    destination[0] = static_cast<std::byte>(value);
    destination[1] = static_cast<std::byte>(value >> 8);
}

void WriteHeader(std::byte* datagram, std::uint32_t sequence, std::uint16_t frameCount) noexcept HAL_NONBLOCKING
{
    std::memcpy(datagram, kMagic.data(), kMagic.size());
    StoreLittleEndian(datagram + 4, sequence);
    StoreLittleEndian(datagram + 8, PelioHandler::kSampleRate);
    StoreLittleEndian(datagram + 12, PelioHandler::kChannelCount);
    StoreLittleEndian(datagram + 14, frameCount);
}

} // namespace

std::thread PelioHandler::StartThread(std::function<void()> sender)
{
    return std::thread(std::move(sender));
}

PelioHandler::PelioHandler()
    : PelioHandler(kDefaultPort)
{
}

PelioHandler::PelioHandler(std::uint16_t port, ThreadStart threadStart)
    : mThreadStart(std::move(threadStart))
    , mPort(port)
{
}

PelioHandler::~PelioHandler()
{
    StopSender();
}

OSStatus PelioHandler::OnStartIO()
{
    // The device alternates start and stop, but a handler can still be started twice (installed
    // anew on a device that runs); the old sender must be gone before its indices are reset.
    StopSender();

    // What an earlier run left in the ring is never sent.
    mWriteIndex.value.store(0, std::memory_order_release);
    mReadIndex.value.store(0, std::memory_order_release);
    mRunning.value.store(true, std::memory_order_release);
    mSequence += kSequenceStep;

    std::thread sender;
    try {
        sender = mThreadStart([this] { RunSender(); });
    } catch (...) {
        // Reported below: without a sender, the device must not claim to run.
    }
    if (!sender.joinable()) {
        mRunning.value.store(false, std::memory_order_release);
        return kAudioHardwareUnspecifiedError;
    }
    mSender = std::move(sender);
    return 0;
}

void PelioHandler::OnStopIO()
{
    StopSender();
}

void PelioHandler::OnWriteMixedOutput(const std::shared_ptr<hal::Stream>& /*stream*/,
                                      Float64 /*zeroTimeStamp*/,
                                      Float64 /*timeStamp*/,
                                      const void* buffer,
                                      UInt32 bufferBytes) HAL_NONBLOCKING
{
    if (buffer == nullptr) {
        return;
    }
    const auto* source = static_cast<const std::byte*>(buffer);
    std::size_t framesLeft = bufferBytes / kBytesPerFrame;
    while (framesLeft > 0) {
        const std::size_t frames = std::min(framesLeft, kMaxFramesPerPacket);
        const std::size_t payloadBytes = frames * kBytesPerFrame;

        // Numbered before the ring is looked at: a dropped packet uses up its number, and the gap
        // tells the receiver what was lost.
        const std::uint32_t sequence = mSequence++;

        const std::uint64_t write = mWriteIndex.value.load(std::memory_order_relaxed);
        // Acquire: the sender has finished copying out every slot that it has released.
        const std::uint64_t read = mReadIndex.value.load(std::memory_order_acquire);
        if (write - read < kRingSlots) {
            Packet& packet = mPackets[write % kRingSlots];
            WriteHeader(packet.bytes.data(), sequence, static_cast<std::uint16_t>(frames));
            std::memcpy(packet.bytes.data() + kHeaderBytes, source, payloadBytes);
            packet.length = kHeaderBytes + payloadBytes;
            // Release: a sender that sees the new index sees the whole packet.
            mWriteIndex.value.store(write + 1, std::memory_order_release);
        }

        source += payloadBytes;
        framesLeft -= frames;
    }
}

bool PelioHandler::GetIsRunning() const noexcept HAL_NONBLOCKING
{
    return mRunning.value.load(std::memory_order_acquire);
}

void PelioHandler::RunSender()
{
    const int socketDescriptor = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);

    sockaddr_in destination{};
    static_assert(sizeof destination == 16);
    destination.sin_family = AF_INET;
    destination.sin_port = htons(mPort);
    ::inet_pton(AF_INET, kLoopbackAddress, &destination.sin_addr);

    // The packet is copied out before it is sent, so that its slot is free again at once rather
    // than after the system call.
    Packet packet;
    // Running is looked at between passes only. A pass ends once the ring is empty, and while
    // OnStopIO holds the device's IO mutex the IO thread adds nothing, so a stop waits for at
    // most the rest of one pass and one sleep.
    while (mRunning.value.load(std::memory_order_acquire)) {
        std::uint64_t read = mReadIndex.value.load(std::memory_order_relaxed);
        // Acquire: every packet below the write index is complete.
        while (read != mWriteIndex.value.load(std::memory_order_acquire)) {
            const Packet& queued = mPackets[read % kRingSlots];
            packet.length = queued.length;
            std::memcpy(packet.bytes.data(), queued.bytes.data(), queued.length);
            // Release: the IO thread refills the slot only after the copy is complete.
            mReadIndex.value.store(++read, std::memory_order_release);
            if (socketDescriptor >= 0) {
                ::sendto(socketDescriptor, packet.bytes.data(), packet.length, MSG_DONTWAIT,
                         reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
            }
        }
        std::this_thread::sleep_for(kDrainInterval);
    }

    if (socketDescriptor >= 0) {
        ::close(socketDescriptor);
    }
}

void PelioHandler::StopSender()
{
    mRunning.value.store(false, std::memory_order_release);
    if (mSender.joinable()) {
        mSender.join();
    }
}

} // namespace pelio
