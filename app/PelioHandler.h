#pragma once

// pelio::PelioHandler: the Pelio device's own behaviour. Installed as the device's control
// handler and as its IO handler, it cuts the device's mixed output into datagrams on the IO
// thread, and sends them from a thread of its own to 127.0.0.1 on its destination port (47583
// unless constructed otherwise).
//
// Wire format, one UDP datagram per packet of N frames (1 to 960), 16 + 8 * N bytes; header
// integers little-endian whatever the host's byte order:
//   0  "PELO"       4  sequence (uint32)   8  48000 (uint32)   12  2 (uint16)   14  N (uint16)
//   16 N interleaved stereo frames, copied byte for byte from the mixed buffer.
// Every packet takes the next sequence number, also a packet that is dropped because the ring
// is full, so the receiver sees a gap where packets were lost. Each start of IO adds 100; the
// sequence is never reset.
//
// Threads and cost:
// - OnWriteMixedOutput runs on the real-time IO thread: no lock, no allocation, no system call,
//   and bounded work (one copy of the input and a 16-byte header per 960 frames). It writes each
//   packet straight into a free slot of a 16-slot ring; when the ring is full it drops the packet
//   and never waits.
// - OnStartIO, OnStopIO and the destructor run on host threads, under the device's IO mutex, so
//   never together with OnWriteMixedOutput. OnStartIO discards what an earlier run left in the
//   ring and creates the sender thread; OnStopIO and the destructor stop and join it, which waits
//   for at most one pass over the ring and one 4 ms sleep.
// - The sender thread takes the packets out of the ring every 4 ms and sends each with
//   MSG_DONTWAIT, ignoring failures: a missing receiver or a full socket buffer loses packets,
//   nothing else. It never takes the device's IO mutex, so OnStopIO can join it while holding it.
//   Packets still in the ring when it sees IO stopped are not sent.
//
// The object is large (the ring holds 16 datagrams of up to 7696 bytes) and over-aligned so that
// the ring indices and the running flag each own a cache line; allocate it with std::make_shared
// or new, which honour the alignment.

#include "hal/ControlRequestHandler.h"
#include "hal/IORequestHandler.h"
#include "hal/RealTime.h"

#include <MacTypes.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <type_traits>

namespace pelio {

// Benchmarks look into the ring through this; production code has no reason to.
struct PelioHandlerInspector;

class PelioHandler : public hal::ControlRequestHandler, public hal::IORequestHandler
{
public:
    // Where the receiver listens by default.
    static constexpr std::uint16_t kDefaultPort = 47583;

    // The stream format the datagrams carry; the device's stream has the same.
    static constexpr std::uint32_t kSampleRate = 48000;
    static constexpr std::uint16_t kChannelCount = 2;
    static constexpr std::size_t kBytesPerFrame = kChannelCount * sizeof(Float32);

    static constexpr std::size_t kHeaderBytes = 16;
    static constexpr std::size_t kMaxFramesPerPacket = 960;
    static constexpr std::size_t kMaxDatagramBytes = kHeaderBytes + kMaxFramesPerPacket * kBytesPerFrame;
    static constexpr std::size_t kRingSlots = 16;
    static constexpr std::chrono::milliseconds kDrainInterval{4};

    // Apple Silicon fetches 128-byte lines; the other processors we run on, 64-byte lines.
#if defined(__aarch64__) || defined(__arm64__)
    static constexpr std::size_t kCacheLineBytes = 128;
#else
    static constexpr std::size_t kCacheLineBytes = 64;
#endif

    // The step that creates the sender thread: runs `sender` on a new thread and returns that
    // thread, or throws when it cannot. The default constructs a std::thread. Tests substitute
    // one that fails, or one that holds the sender back to let the ring fill up.
    using ThreadStart = std::function<std::thread(std::function<void()> sender)>;
    static std::thread StartThread(std::function<void()> sender);

    PelioHandler();
    explicit PelioHandler(std::uint16_t port, ThreadStart threadStart = StartThread);

    // Stops and joins the sender thread, like OnStopIO.
    ~PelioHandler() override;

    // Discards what the ring holds, adds 100 to the sequence and starts the sender thread. A
    // sender thread left from an earlier start is stopped and joined first. When the thread
    // cannot be created, IO stays stopped and the status is kAudioHardwareUnspecifiedError.
    OSStatus OnStartIO() override;

    // Stops and joins the sender thread; packets still in the ring stay unsent.
    void OnStopIO() override;

    // Packs whole frames of `buffer` into packets of at most 960 frames and queues them; a
    // trailing partial frame is ignored, and a null buffer or one shorter than a frame queues
    // nothing and uses no sequence number. The stream and the time stamps are not used.
    void OnWriteMixedOutput(const std::shared_ptr<hal::Stream>& stream,
                            Float64 zeroTimeStamp,
                            Float64 timeStamp,
                            const void* buffer,
                            UInt32 bufferBytes) HAL_NONBLOCKING override;

    // Whether IO is started and the sender thread runs. Any thread.
    bool GetIsRunning() const noexcept HAL_NONBLOCKING;

private:
    friend struct PelioHandlerInspector;

    // One datagram exactly as it goes on the wire. Line-aligned, so that neighbouring slots
    // never share a line: the IO thread filling one slot does not disturb the sender copying
    // the next, and every payload starts 16 bytes into a line.
    struct alignas(kCacheLineBytes) Packet
    {
        std::array<std::byte, kMaxDatagramBytes> bytes;
        std::uint64_t length;
    };

    // A value alone on its cache line: the producer's and the consumer's writes never invalidate
    // a line that the other side reads for its own index.
    template <class T>
    struct alignas(kCacheLineBytes) OwnLine
    {
        T value;
    };

    static_assert(alignof(Packet) == kCacheLineBytes && sizeof(Packet) % kCacheLineBytes == 0);
    static_assert(std::is_trivially_copyable_v<Packet>);
    static_assert(sizeof(OwnLine<std::atomic<std::uint64_t>>) == kCacheLineBytes);
    static_assert(sizeof(OwnLine<std::atomic<bool>>) == kCacheLineBytes);
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);
    // A power of two: the slot of an index is a mask of it.
    static_assert((kRingSlots & (kRingSlots - 1)) == 0);

    // The sender thread's whole life: opens the socket, drains the ring every 4 ms while running,
    // closes the socket.
    void RunSender();

    // Clears the running flag and joins the sender thread if there is one.
    void StopSender();

    // Ring: the IO thread alone writes mWriteIndex and the free slots, the sender thread alone
    // writes mReadIndex and reads the full slots. Both indices only grow between starts; their
    // difference, 0 to 16, is the number of packets waiting, and index i lives in slot i mod 16.
    std::array<Packet, kRingSlots> mPackets{};
    OwnLine<std::atomic<std::uint64_t>> mWriteIndex{0};
    OwnLine<std::atomic<std::uint64_t>> mReadIndex{0};
    OwnLine<std::atomic<bool>> mRunning{false};

    // Host threads only, under the device's IO mutex.
    std::thread mSender;
    const ThreadStart mThreadStart;
    // The IO thread and OnStartIO, which the device's IO mutex keeps apart.
    std::uint32_t mSequence = 0;
    const std::uint16_t mPort;
};

static_assert(alignof(PelioHandler) == PelioHandler::kCacheLineBytes);

} // namespace pelio
