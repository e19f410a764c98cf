// The device's clients, the pairing of StartIO and StopIO, WillDoIOOperation's answers, the routing
// of each IO operation to the IO handler, the host's bad pointers, and what the IO thread must
// never do: call a handler that is being replaced, or drop the last reference to a client or
// stream removed while it runs.

#include "hal/Device.h"

#include "hal/Client.h"
#include "hal/ClientInfo.h"
#include "hal/Stream.h"

#include "HostedDevice.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using pelio::test::HostedDevice;
using Lines = std::vector<std::string>;

constexpr AudioStreamBasicDescription kFloatStereo{48000.0, kAudioFormatLinearPCM,
                                                   kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 8, 1, 8, 2, 32,
                                                   0};

AudioServerPlugInIOCycleInfo CycleAt(Float64 inputTime, Float64 outputTime)
{
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mInputTime.mSampleTime = inputTime;
    cycle.mOutputTime.mSampleTime = outputTime;
    return cycle;
}

// One handler call as the device made it.
struct Call
{
    std::string name;
    const hal::Client* client = nullptr;
    const hal::Stream* stream = nullptr;
    Float64 zeroTimeStamp = 0.0;
    Float64 timeStamp = 0.0;
    const void* buffer = nullptr;
    // Bytes for the byte-sized steps, frames × channels for the others.
    UInt32 size = 0;
    UInt32 channels = 0;

    friend bool operator==(const Call&, const Call&) = default;
};

std::ostream& operator<<(std::ostream& out, const Call& call)
{
    return out << call.name << "(client " << call.client << ", stream " << call.stream << ", zero "
               << call.zeroTimeStamp << ", time " << call.timeStamp << ", buffer " << call.buffer << ", size "
               << call.size << ", channels " << call.channels << ")";
}

// Both handlers in one, recording every call.
class RecordingHandler : public hal::ControlRequestHandler, public hal::IORequestHandler
{
public:
    OSStatus OnStartIO() override
    {
        events.push_back("OnStartIO");
        return startStatus;
    }
    void OnStopIO() override { events.push_back("OnStopIO"); }
    std::shared_ptr<hal::Client> OnAddClient(const hal::ClientInfo& info) override
    {
        events.push_back("OnAddClient " + std::to_string(info.ClientID));
        return refuseClients ? nullptr : ControlRequestHandler::OnAddClient(info);
    }
    void OnRemoveClient(std::shared_ptr<hal::Client> client) override
    {
        events.push_back("OnRemoveClient " + std::to_string(client->GetClientID()));
        removed.push_back(std::move(client));
    }

    void OnReadClientInput(const std::shared_ptr<hal::Client>& client, const std::shared_ptr<hal::Stream>& stream,
                           Float64 zero, Float64 time, void* buffer, UInt32 bytes) override
    {
        calls.push_back({"OnReadClientInput", client.get(), stream.get(), zero, time, buffer, bytes, 0});
    }
    void OnProcessClientInput(const std::shared_ptr<hal::Client>& client, const std::shared_ptr<hal::Stream>& stream,
                              Float64 zero, Float64 time, Float32* samples, UInt32 frames, UInt32 channels) override
    {
        calls.push_back({"OnProcessClientInput", client.get(), stream.get(), zero, time, samples, frames, channels});
    }
    void OnProcessClientOutput(const std::shared_ptr<hal::Client>& client, const std::shared_ptr<hal::Stream>& stream,
                               Float64 zero, Float64 time, Float32* samples, UInt32 frames, UInt32 channels) override
    {
        calls.push_back({"OnProcessClientOutput", client.get(), stream.get(), zero, time, samples, frames, channels});
    }
    void OnWriteClientOutput(const std::shared_ptr<hal::Client>& client, const std::shared_ptr<hal::Stream>& stream,
                             Float64 zero, Float64 time, const Float32* samples, UInt32 frames,
                             UInt32 channels) override
    {
        calls.push_back({"OnWriteClientOutput", client.get(), stream.get(), zero, time, samples, frames, channels});
    }
    void OnProcessMixedOutput(const std::shared_ptr<hal::Stream>& stream, Float64 zero, Float64 time,
                              Float32* samples, UInt32 frames, UInt32 channels) override
    {
        calls.push_back({"OnProcessMixedOutput", nullptr, stream.get(), zero, time, samples, frames, channels});
    }
    void OnWriteMixedOutput(const std::shared_ptr<hal::Stream>& stream, Float64 zero, Float64 time,
                            const void* buffer, UInt32 bytes) override
    {
        calls.push_back({"OnWriteMixedOutput", nullptr, stream.get(), zero, time, buffer, bytes, 0});
    }

    OSStatus startStatus = 0;
    bool refuseClients = false;
    std::vector<std::string> events;
    std::vector<Call> calls;
    std::vector<std::shared_ptr<hal::Client>> removed;
};

class DeviceIOTest : public ::testing::Test
{
protected:
    explicit DeviceIOTest(const hal::DeviceParameters& parameters = {})
        : hosted(parameters)
    {
        device.SetControlHandler(static_cast<hal::ControlRequestHandler*>(&handler));
        device.SetIOHandler(static_cast<hal::IORequestHandler*>(&handler));
    }

    ~DeviceIOTest() override
    {
        // Before `handler` goes.
        device.SetControlHandler(std::shared_ptr<hal::ControlRequestHandler>());
        device.SetIOHandler(std::shared_ptr<hal::IORequestHandler>());
    }

    OSStatus AddClient(UInt32 clientID, CFStringRef bundleID = nullptr)
    {
        const AudioServerPlugInClientInfo info{clientID, static_cast<pid_t>(1000 + clientID), 1, bundleID};
        return device.AddClient(device.GetID(), &info);
    }

    OSStatus RemoveClient(UInt32 clientID)
    {
        const AudioServerPlugInClientInfo info{clientID, static_cast<pid_t>(1000 + clientID), 1, nullptr};
        return device.RemoveClient(device.GetID(), &info);
    }

    std::shared_ptr<hal::Stream> AddFloatStream(hal::Direction direction)
    {
        hal::StreamParameters parameters;
        parameters.Direction = direction;
        parameters.Format = kFloatStereo;
        return device.AddStreamAsync(parameters);
    }

    bool NotifiedIsRunning(std::size_t times) const
    {
        std::size_t count = 0;
        for (const auto& notification : hosted.host.GetNotifications()) {
            count += notification.objectID == device.GetID() && notification.addresses.size() == 1
                     && notification.addresses[0].mSelector == kAudioDevicePropertyDeviceIsRunning;
        }
        return count == times;
    }

    RecordingHandler handler;
    HostedDevice<> hosted;
    hal::Device& device = *hosted.device;
};

// ---- Clients -------------------------------------------------------------------------------------------

TEST_F(DeviceIOTest, ClientsAreKeptFromAddToRemove)
{
    const CFStringRef bundleID = CFStringCreateWithCString(nullptr, "local.test.app", kCFStringEncodingUTF8);
    ASSERT_EQ(AddClient(7, bundleID), 0);
    CFRelease(bundleID);
    ASSERT_EQ(AddClient(8), 0);

    EXPECT_EQ(device.GetClientCount(), 2u);
    EXPECT_EQ(device.GetClients().size(), 2u);
    const auto client = device.GetClientByID(7);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->GetProcessID(), 1007);
    EXPECT_TRUE(client->GetIsNativeEndian());
    EXPECT_EQ(client->GetBundleID(), "local.test.app");
    EXPECT_EQ(device.GetClientByID(9), nullptr);
    EXPECT_TRUE(hosted.TracedInOrder(
        {"client info: clientID=7 processID=1007 isNativeEndian=1 bundleID=local.test.app"}));

    // The same ID again: the second record replaces the first, which leaves without OnRemoveClient.
    ASSERT_EQ(AddClient(7), 0);
    EXPECT_NE(device.GetClientByID(7), client);
    EXPECT_EQ(device.GetClientCount(), 2u);

    const auto second = device.GetClientByID(7);
    ASSERT_EQ(RemoveClient(7), 0);
    EXPECT_EQ(device.GetClientByID(7), nullptr);
    ASSERT_EQ(handler.removed.size(), 1u);
    EXPECT_EQ(handler.removed[0], second) << "OnRemoveClient gets the record OnAddClient made";
    EXPECT_EQ(handler.events, (Lines{"OnAddClient 7", "OnAddClient 8", "OnAddClient 7", "OnRemoveClient 7"}));
}

TEST_F(DeviceIOTest, ClientRequestsThatCannotBeHonouredChangeNothing)
{
    ASSERT_EQ(AddClient(1), 0);
    const AudioServerPlugInClientInfo info{2, 1002, 1, nullptr};
    struct Case
    {
        const char* description;
        std::function<OSStatus()> call;
        OSStatus status;
        std::string message;
    };
    const Case cases[] = {
        {"add for another object", [&] { return device.AddClient(device.GetID() + 1, &info); },
         kAudioHardwareBadObjectError, "object not found"},
        {"remove for another object", [&] { return device.RemoveClient(device.GetID() + 1, &info); },
         kAudioHardwareBadObjectError, "object not found"},
        {"add without a record", [&] { return device.AddClient(device.GetID(), nullptr); },
         kAudioHardwareIllegalOperationError, "client info is null"},
        {"remove without a record", [&] { return device.RemoveClient(device.GetID(), nullptr); },
         kAudioHardwareIllegalOperationError, "client info is null"},
        {"remove an unknown client", [&] { return RemoveClient(2); }, kAudioHardwareIllegalOperationError,
         "client 2 not found"},
        {"handler makes no record",
         [&] {
             handler.refuseClients = true;
             const OSStatus status = AddClient(2);
             handler.refuseClients = false;
             return status;
         },
         kAudioHardwareUnspecifiedError, "control handler failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        hosted.tracer->ClearLines();
        EXPECT_EQ(c.call(), c.status);
        EXPECT_TRUE(hosted.TracedInOrder({c.message}));
        EXPECT_EQ(device.GetClientCount(), 1u);
        EXPECT_NE(device.GetClientByID(1), nullptr);
        EXPECT_TRUE(handler.removed.empty());
    }
}

// ---- Starting and stopping ---------------------------------------------------------------------------

TEST_F(DeviceIOTest, OnlyTheFirstStartAndTheLastStopReachTheHandler)
{
    hosted.OwnAndKnowHost();
    ASSERT_EQ(AddClient(1), 0);
    ASSERT_EQ(AddClient(2), 0);
    handler.events.clear();

    // A handler that cannot start keeps the device stopped, and is asked again next time.
    handler.startStatus = 'busy';
    EXPECT_EQ(device.StartIO(device.GetID(), 1), OSStatus{'busy'});
    EXPECT_FALSE(device.GetIsRunning());
    EXPECT_TRUE(NotifiedIsRunning(0));
    handler.startStatus = 0;

    EXPECT_EQ(device.StartIO(device.GetID(), 1), 0);
    EXPECT_EQ(device.StartIO(device.GetID(), 2), 0);
    EXPECT_TRUE(device.GetIsRunning());
    EXPECT_TRUE(NotifiedIsRunning(1));
    EXPECT_EQ(device.StopIO(device.GetID(), 1), 0);
    EXPECT_TRUE(device.GetIsRunning());
    EXPECT_TRUE(NotifiedIsRunning(1));
    EXPECT_EQ(device.StopIO(device.GetID(), 2), 0);
    EXPECT_FALSE(device.GetIsRunning());
    EXPECT_TRUE(NotifiedIsRunning(2));

    // A stop without a start would make the next start skip OnStartIO.
    EXPECT_EQ(device.StopIO(device.GetID(), 2), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(device.StartIO(device.GetID(), 1), 0);
    EXPECT_EQ(device.StopIO(device.GetID(), 1), 0);
    EXPECT_EQ(handler.events, (Lines{"OnStartIO", "OnStartIO", "OnStopIO", "OnStartIO", "OnStopIO"}));

    EXPECT_EQ(device.StartIO(device.GetID() + 1, 1), kAudioHardwareBadObjectError);
    EXPECT_EQ(device.StopIO(device.GetID() + 1, 1), kAudioHardwareBadObjectError);
    EXPECT_FALSE(device.GetIsRunning());
}

TEST_F(DeviceIOTest, StartAndStopAreAlwaysTraced)
{
    const std::string id = std::to_string(device.GetID());
    ASSERT_EQ(device.StartIO(device.GetID(), 3), 0);
    ASSERT_EQ(device.StopIO(device.GetID(), 3), 0);
    ASSERT_EQ(device.StopIO(device.GetID(), 3), kAudioHardwareIllegalOperationError);
    EXPECT_TRUE(hosted.TracedInOrder({
        "Device::StartIO() begin objectID=" + id,
        "starting io: clientID=3",
        "Device::StartIO() end status=OK",
        "Device::StopIO() begin objectID=" + id,
        "stopping io: clientID=3",
        "Device::StopIO() end status=OK",
        "io is not running: clientID=3",
        "Device::StopIO() end status=kAudioHardwareIllegalOperationError",
    }));
}

// ---- Which operations the device takes part in ------------------------------------------------------

TEST(DeviceWillDoTest, TheDeviceDoesWhatItsStreamsAndMixingCallFor)
{
    using Answer = std::pair<bool, bool>;
    constexpr Answer yes{true, true};
    constexpr Answer no{false, false};
    const UInt32 operations[] = {
        kAudioServerPlugInIOOperationThread,        kAudioServerPlugInIOOperationCycle,
        kAudioServerPlugInIOOperationReadInput,     kAudioServerPlugInIOOperationConvertInput,
        kAudioServerPlugInIOOperationProcessInput,  kAudioServerPlugInIOOperationProcessOutput,
        kAudioServerPlugInIOOperationMixOutput,     kAudioServerPlugInIOOperationProcessMix,
        kAudioServerPlugInIOOperationConvertMix,    kAudioServerPlugInIOOperationWriteMix,
        'none'};
    struct Case
    {
        const char* description;
        bool mixing;
        bool output;
        bool input;
        std::vector<Answer> answers; // in the order of `operations`
    };
    const Case cases[] = {
        {"output, mixing", true, true, false, {no, no, no, no, no, no, no, yes, no, yes, no}},
        {"output, no mixing", false, true, false, {no, no, no, no, no, no, yes, no, no, no, no}},
        {"input only", true, false, true, {no, no, yes, no, yes, no, no, no, no, no, no}},
        {"no streams", true, false, false, {no, no, no, no, no, no, no, no, no, no, no}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        hal::DeviceParameters parameters;
        parameters.MixingEnabled = c.mixing;
        HostedDevice<> hosted(parameters);
        if (c.output) {
            hosted.device->AddStreamAsync(hal::Direction::Output);
        }
        if (c.input) {
            hosted.device->AddStreamAsync(hal::Direction::Input);
        }
        for (std::size_t index = 0; index < std::size(operations); ++index) {
            SCOPED_TRACE(operations[index]);
            EXPECT_EQ(hosted.WillDo(operations[index]), c.answers[index]);
        }
    }
}

// ---- Routing to the IO handler -----------------------------------------------------------------------

TEST_F(DeviceIOTest, EachOperationReachesItsHandlerCallsWithTheStreamsSizes)
{
    const auto output = AddFloatStream(hal::Direction::Output);
    const auto input = AddFloatStream(hal::Direction::Input);
    ASSERT_EQ(AddClient(5), 0);
    const hal::Client* client = device.GetClientByID(5).get();
    ASSERT_EQ(device.StartIO(device.GetID(), 5), 0);
    Float64 zero = -1.0;
    ASSERT_EQ(device.GetZeroTimeStamp(device.GetID(), 5, &zero, nullptr, nullptr), 0);
    ASSERT_EQ(zero, 0.0);

    const AudioServerPlugInIOCycleInfo cycle = CycleAt(1024.0, 2048.0);
    std::vector<Float32> buffer(512 * 2);
    Float32* const samples = buffer.data();
    struct Case
    {
        const char* description;
        UInt32 operation;
        const hal::Stream* stream;
        UInt32 clientID;
        std::vector<Call> calls;
    };
    const hal::Stream* out = output.get();
    const hal::Stream* in = input.get();
    const Case cases[] = {
        {"ReadInput", kAudioServerPlugInIOOperationReadInput, in, 5,
         {{"OnReadClientInput", client, in, 0.0, 1024.0, samples, 4096, 0}}},
        {"ProcessInput", kAudioServerPlugInIOOperationProcessInput, in, 5,
         {{"OnProcessClientInput", client, in, 0.0, 1024.0, samples, 512, 2}}},
        {"MixOutput", kAudioServerPlugInIOOperationMixOutput, out, 5,
         {{"OnProcessClientOutput", client, out, 0.0, 2048.0, samples, 512, 2},
          {"OnWriteClientOutput", client, out, 0.0, 2048.0, samples, 512, 2}}},
        {"MixOutput for an unknown client", kAudioServerPlugInIOOperationMixOutput, out, 99,
         {{"OnProcessClientOutput", nullptr, out, 0.0, 2048.0, samples, 512, 2},
          {"OnWriteClientOutput", nullptr, out, 0.0, 2048.0, samples, 512, 2}}},
        {"ProcessMix", kAudioServerPlugInIOOperationProcessMix, out, 0,
         {{"OnProcessMixedOutput", nullptr, out, 0.0, 2048.0, samples, 512, 2}}},
        {"WriteMix", kAudioServerPlugInIOOperationWriteMix, out, 0,
         {{"OnWriteMixedOutput", nullptr, out, 0.0, 2048.0, samples, 4096, 0}}},
        {"Cycle", kAudioServerPlugInIOOperationCycle, out, 0, {}},
        {"ConvertMix", kAudioServerPlugInIOOperationConvertMix, out, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        handler.calls.clear();
        EXPECT_EQ(device.DoIOOperation(device.GetID(), c.stream->GetID(), c.clientID, c.operation, 512, &cycle,
                                       samples, nullptr),
                  0);
        EXPECT_EQ(handler.calls, c.calls);
    }

    handler.calls.clear();
    EXPECT_EQ(device.DoIOOperation(device.GetID(), output->GetID() + 100, 5, kAudioServerPlugInIOOperationWriteMix,
                                   512, &cycle, samples, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(device.DoIOOperation(device.GetID() + 1, output->GetID(), 5, kAudioServerPlugInIOOperationWriteMix, 512,
                                   &cycle, samples, nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_TRUE(handler.calls.empty());
    ASSERT_EQ(device.StopIO(device.GetID(), 5), 0);
}

// The host's pointers are checked before anything is traced or called: a handler would write
// through them.
TEST(DeviceHostPointersTest, NullPointersAreRefusedOrSkipped)
{
    hal::DeviceParameters parameters;
    parameters.RealtimeTracingEnabled = true;
    HostedDevice<> hosted(parameters);
    hal::Device& device = *hosted.device;
    const auto stream = device.AddStreamAsync(hal::StreamParameters{});
    RecordingHandler handler;
    device.SetIOHandler(static_cast<hal::IORequestHandler*>(&handler));
    const AudioObjectID id = device.GetID();
    const AudioServerPlugInIOCycleInfo cycle{};
    std::vector<Float32> buffer(16);
    hosted.tracer->ClearLines();

    constexpr UInt32 mix = kAudioServerPlugInIOOperationWriteMix;
    EXPECT_EQ(device.BeginIOOperation(id, 0, mix, 8, nullptr), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(device.DoIOOperation(id, stream->GetID(), 0, mix, 8, nullptr, buffer.data(), nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(device.DoIOOperation(id, stream->GetID(), 0, mix, 8, &cycle, nullptr, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(device.EndIOOperation(id, 0, mix, 8, nullptr), kAudioHardwareIllegalOperationError);
    EXPECT_TRUE(handler.calls.empty());
    EXPECT_TRUE(hosted.tracer->GetLines().empty());

    // No buffer for no frames is no harm.
    EXPECT_EQ(device.DoIOOperation(id, stream->GetID(), 0, mix, 0, &cycle, nullptr, nullptr), 0);
    EXPECT_EQ(handler.calls.size(), 1u);

    // Null outputs are skipped, the others still written.
    ASSERT_EQ(device.StartIO(id, 0), 0);
    Float64 sampleTime = -1.0;
    EXPECT_EQ(device.GetZeroTimeStamp(id, 0, &sampleTime, nullptr, nullptr), 0);
    EXPECT_EQ(sampleTime, 0.0);
    EXPECT_EQ(device.GetZeroTimeStamp(id, 0, nullptr, nullptr, nullptr), 0);
    Boolean inPlace = false;
    EXPECT_EQ(device.WillDoIOOperation(id, 0, mix, nullptr, &inPlace), 0);
    EXPECT_TRUE(inPlace);
    EXPECT_TRUE(hosted.TracedInOrder({"output buffer is null"}));
    ASSERT_EQ(device.StopIO(id, 0), 0);
    device.SetIOHandler(std::shared_ptr<hal::IORequestHandler>());
}

// With real-time tracing on, every IO step is traced; off, none is, whatever the tracer would
// print, and another object's ID is refused without a word either way.
TEST(DeviceRealtimeTracingTest, IOStepsAreTracedOnlyWhenRealtimeTracingIsOn)
{
    for (const bool enabled : {true, false}) {
        SCOPED_TRACE(enabled);
        hal::DeviceParameters parameters;
        parameters.RealtimeTracingEnabled = enabled;
        HostedDevice<> hosted(parameters);
        hal::Device& device = *hosted.device;
        const auto stream = device.AddStreamAsync(hal::StreamParameters{});
        const AudioObjectID id = device.GetID();
        const std::string sid = std::to_string(stream->GetID());
        ASSERT_EQ(device.StartIO(id, 4), 0);
        hosted.tracer->ClearLines();

        const AudioServerPlugInIOCycleInfo cycle = CycleAt(0.0, 512.0);
        std::vector<Float32> buffer(512 * 2);
        Float64 sampleTime = 0;
        UInt64 hostTime = 0;
        UInt64 seed = 0;
        Boolean willDo = false;
        Boolean inPlace = false;
        constexpr UInt32 mix = kAudioServerPlugInIOOperationProcessMix;
        ASSERT_EQ(device.GetZeroTimeStamp(id, 4, &sampleTime, &hostTime, &seed), 0);
        ASSERT_EQ(device.WillDoIOOperation(id, 4, mix, &willDo, &inPlace), 0);
        ASSERT_EQ(device.BeginIOOperation(id, 4, mix, 512, &cycle), 0);
        ASSERT_EQ(device.DoIOOperation(id, stream->GetID(), 4, mix, 512, &cycle, buffer.data(), nullptr), 0);
        ASSERT_EQ(device.EndIOOperation(id, 4, mix, 512, &cycle), 0);
        const Lines traced = hosted.tracer->GetLines();
        const std::string did = std::to_string(id);
        const Lines expected{
            "Device::GetZeroTimeStamp() begin objectID=" + did,
            "returning outSampleTime=0.000000 outHostTime=" + std::to_string(hostTime) + " outSeed=1",
            "Device::GetZeroTimeStamp() end status=OK",
            "Device::WillDoIOOperation() begin objectID=" + did,
            "kAudioServerPlugInIOOperationProcessMix WillDo=1 WillDoInPlace=1",
            "Device::WillDoIOOperation() end status=OK",
            "Device::BeginIOOperation()",
            "Device::DoIOOperation() begin objectID=" + did,
            "kAudioServerPlugInIOOperationProcessMix StreamID=" + sid
                + " ClientID=4 NumFrames=512 InTs=0.000000 OutTs=512.000000 ZeroTs=0.000000",
            "Device::DoIOOperation() end status=OK",
            "Device::EndIOOperation()",
        };
        EXPECT_EQ(traced, enabled ? expected : Lines{});

        hosted.tracer->ClearLines();
        EXPECT_EQ(device.GetZeroTimeStamp(id + 1, 4, &sampleTime, &hostTime, &seed), kAudioHardwareBadObjectError);
        EXPECT_EQ(device.WillDoIOOperation(id + 1, 4, mix, &willDo, &inPlace), kAudioHardwareBadObjectError);
        EXPECT_EQ(device.BeginIOOperation(id + 1, 4, mix, 512, &cycle), kAudioHardwareBadObjectError);
        EXPECT_EQ(device.EndIOOperation(id + 1, 4, mix, 512, &cycle), kAudioHardwareBadObjectError);
        for (const std::string& line : hosted.tracer->GetLines()) {
            EXPECT_EQ(line.find("not found"), std::string::npos) << line;
        }
        ASSERT_EQ(device.StopIO(id, 4), 0);
    }
}

// ---- What the IO thread must never do ----------------------------------------------------------------

// Lets a test hold the IO thread inside a handler call and release it when it chooses.
class Gate
{
public:
    void Enter()
    {
        std::unique_lock<std::mutex> lock(mMutex);
        mEntered = true;
        mChanged.notify_all();
        mChanged.wait(lock, [this] { return mOpen; });
    }
    void WaitUntilEntered()
    {
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait(lock, [this] { return mEntered; });
    }
    void Open()
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        mOpen = true;
        mChanged.notify_all();
    }

private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    bool mEntered = false;
    bool mOpen = false;
};

// Where and when an object died.
struct DeathRecord
{
    std::atomic<bool> callReturned{false};
    std::atomic<bool> diedDuringCall{false};
    std::atomic<bool> died{false};
    std::thread::id thread;

    void Die()
    {
        diedDuringCall = !callReturned.load();
        thread = std::this_thread::get_id();
        died = true;
    }
};

// A handler that blocks in OnWriteMixedOutput (Pelio's sends from there) while another thread
// replaces it. Destroyed on the IO thread, the Pelio handler would join its sender thread there;
// destroyed during the call, it would crash.
TEST(DeviceLifetimeTest, AReplacedIOHandlerDiesOnTheReplacingThreadAfterItsCall)
{
    struct BlockingHandler : hal::IORequestHandler
    {
        BlockingHandler(Gate& gate, DeathRecord& death)
            : gate(gate)
            , death(death)
        {
        }
        ~BlockingHandler() override { death.Die(); }
        void OnWriteMixedOutput(const std::shared_ptr<hal::Stream>&, Float64, Float64, const void*, UInt32) override
        {
            gate.Enter();
        }
        Gate& gate;
        DeathRecord& death;
    };
    Gate gate;
    DeathRecord death;
    HostedDevice<> hosted;
    hal::Device& device = *hosted.device;
    const auto stream = device.AddStreamAsync(hal::StreamParameters{});
    device.SetIOHandler(std::make_shared<BlockingHandler>(gate, death));

    std::thread io([&] {
        const AudioServerPlugInIOCycleInfo cycle{};
        std::vector<Float32> buffer(16);
        EXPECT_EQ(device.DoIOOperation(device.GetID(), stream->GetID(), 0, kAudioServerPlugInIOOperationWriteMix, 8,
                                       &cycle, buffer.data(), nullptr),
                  0);
        death.callReturned = true;
    });
    gate.WaitUntilEntered();
    std::thread::id replacingThread;
    std::thread replacer([&] {
        replacingThread = std::this_thread::get_id();
        device.SetIOHandler(std::shared_ptr<hal::IORequestHandler>());
    });
    // Long enough for the replacement to reach the point where it waits; the test holds without.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(death.died) << "the handler died while its call was running";
    gate.Open();
    io.join();
    replacer.join();

    ASSERT_TRUE(death.died);
    EXPECT_FALSE(death.diedDuringCall);
    EXPECT_EQ(death.thread, replacingThread);
}

// A client and a stream removed while the IO thread is inside a handler call for them: the IO
// thread must not be the one that drops the last reference (a derived record's destructor, or a
// stream's, would then run on it).
TEST(DeviceLifetimeTest, AClientAndAStreamRemovedDuringACallDieOnTheRemovingThreads)
{
    struct TrackedClient : hal::Client
    {
        TrackedClient(const hal::ClientInfo& info, DeathRecord& death)
            : Client(info)
            , death(death)
        {
        }
        ~TrackedClient() override { death.Die(); }
        DeathRecord& death;
    };
    struct TrackedStream : hal::Stream
    {
        TrackedStream(std::shared_ptr<const hal::Context> context, std::shared_ptr<hal::Device> device,
                      DeathRecord& death)
            : Stream(std::move(context), std::move(device), hal::StreamParameters{})
            , death(death)
        {
        }
        ~TrackedStream() override { death.Die(); }
        DeathRecord& death;
    };
    struct Handler : hal::ControlRequestHandler, hal::IORequestHandler
    {
        std::shared_ptr<hal::Client> OnAddClient(const hal::ClientInfo& info) override
        {
            return std::make_shared<TrackedClient>(info, *clientDeath);
        }
        void OnProcessClientOutput(const std::shared_ptr<hal::Client>&, const std::shared_ptr<hal::Stream>&, Float64,
                                   Float64, Float32*, UInt32, UInt32) override
        {
            gate->Enter();
        }
        Gate* gate = nullptr;
        DeathRecord* clientDeath = nullptr;
    };
    Gate gate;
    DeathRecord clientDeath;
    DeathRecord streamDeath;
    const auto handler = std::make_shared<Handler>();
    handler->gate = &gate;
    handler->clientDeath = &clientDeath;
    HostedDevice<> hosted;
    hal::Device& device = *hosted.device;
    device.SetControlHandler(handler);
    device.SetIOHandler(handler);
    AudioObjectID streamID = 0;
    {
        const auto stream = hal::MakeObject<TrackedStream>(hosted.context, hosted.device, streamDeath);
        device.AddStreamAsync(stream);
        streamID = stream->GetID();
    }
    const AudioServerPlugInClientInfo info{3, 1003, 1, nullptr};
    ASSERT_EQ(device.AddClient(device.GetID(), &info), 0);

    std::thread io([&] {
        const AudioServerPlugInIOCycleInfo cycle{};
        std::vector<Float32> buffer(16);
        EXPECT_EQ(device.DoIOOperation(device.GetID(), streamID, 3, kAudioServerPlugInIOOperationMixOutput, 8, &cycle,
                                       buffer.data(), nullptr),
                  0);
        clientDeath.callReturned = true;
        streamDeath.callReturned = true;
    });
    gate.WaitUntilEntered();
    std::thread::id clientRemover;
    std::thread::id streamRemover;
    std::thread removeClient([&] {
        clientRemover = std::this_thread::get_id();
        EXPECT_EQ(device.RemoveClient(device.GetID(), &info), 0);
    });
    std::thread removeStream([&] {
        streamRemover = std::this_thread::get_id();
        // Not owned: the removal applies at once.
        device.RemoveStreamAsync(device.GetStreamByID(streamID));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(clientDeath.died);
    EXPECT_FALSE(streamDeath.died);
    gate.Open();
    io.join();
    removeClient.join();
    removeStream.join();

    ASSERT_TRUE(clientDeath.died);
    ASSERT_TRUE(streamDeath.died);
    EXPECT_FALSE(clientDeath.diedDuringCall);
    EXPECT_FALSE(streamDeath.diedDuringCall);
    EXPECT_EQ(clientDeath.thread, clientRemover);
    EXPECT_EQ(streamDeath.thread, streamRemover);
    device.SetControlHandler(std::shared_ptr<hal::ControlRequestHandler>());
    device.SetIOHandler(std::shared_ptr<hal::IORequestHandler>());
}

} // namespace
