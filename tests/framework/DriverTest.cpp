// The driver and the bridge as the host reaches them: through the interface table only.

#include "hal/Driver.h"

#include "hal/Context.h"
#include "hal/Device.h"
#include "hal/Plugin.h"
#include "hal/Storage.h"
#include "hal/Stream.h"

#include "CapturingTracer.h"
#include "TestHost.h"
#include "TraceLines.h"

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using pelio::test::CapturingTracer;
using pelio::test::MessagesOf;
using pelio::test::TestHost;
using Lines = std::vector<std::string>;

constexpr AudioObjectPropertyScope kGlobal = kAudioObjectPropertyScopeGlobal;

CFUUIDBytes BytesOf(CFUUIDRef uuid)
{
    return CFUUIDGetUUIDBytes(uuid);
}

// The tree the host sees: the plug-in (1), one device, its output stream.
class DriverTest : public ::testing::Test
{
protected:
    DriverTest()
    {
        plugin->AddDevice(device);
        stream = device->AddStreamAsync(hal::Direction::Output);
        tracer->ClearLines();
    }

    const AudioServerPlugInDriverInterface& Table() { return **reference; }

    std::shared_ptr<CapturingTracer> tracer =
        std::make_shared<CapturingTracer>(CapturingTracer::Mode::Stderr, CapturingTracer::Style::Flat);
    std::shared_ptr<hal::Context> context = std::make_shared<hal::Context>(tracer);
    std::shared_ptr<hal::Plugin> plugin = hal::MakeObject<hal::Plugin>(context);
    std::shared_ptr<hal::Device> device = hal::MakeObject<hal::Device>(context, hal::DeviceParameters{});
    std::shared_ptr<hal::Stream> stream;
    std::shared_ptr<hal::Driver> driver = std::make_shared<hal::Driver>(context, plugin);
    AudioServerPlugInDriverRef reference = driver->GetReference();
};

TEST_F(DriverTest, TheTableIsInThePlatformsOrderAndLeadsBackToTheDriver)
{
    EXPECT_EQ(hal::Driver::GetDriver(reference), driver.get());
    EXPECT_EQ(hal::Driver::GetDriver(nullptr), nullptr);
    EXPECT_EQ(*reference, driver->GetPluginInterface());
    EXPECT_EQ(Table()._reserved, nullptr);
    EXPECT_EQ(driver->GetContext(), context);
    EXPECT_EQ(driver->GetPlugin(), plugin);
    ASSERT_NE(driver->GetStorage(), nullptr);
    EXPECT_EQ(driver->GetStorage()->GetContext(), context);
    // Every entry is filled.
    const auto* entries = reinterpret_cast<void* const*>(&Table());
    for (std::size_t index = 1; index < sizeof(AudioServerPlugInDriverInterface) / sizeof(void*); ++index) {
        EXPECT_NE(entries[index], nullptr) << "entry " << index;
    }
}

TEST_F(DriverTest, QueryInterfaceAnswersIUnknownAndTheDriverInterfaceOnly)
{
    struct Case
    {
        const char* name;
        CFUUIDBytes uuid;
        bool isKnown;
    };
    const Case cases[] = {
        {"IUnknown", BytesOf(IUnknownUUID), true},
        {"driver interface", BytesOf(kAudioServerPlugInDriverInterfaceUUID), true},
        {"plug-in type (not an interface)", BytesOf(kAudioServerPlugInTypeUUID), false},
        {"zero", CFUUIDBytes{}, false},
    };
    UInt32 expectedCount = 0;
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        tracer->ClearLines();
        void* answer = reinterpret_cast<void*>(0x1);
        const HRESULT result = Table().QueryInterface(reference, testCase.uuid, &answer);
        if (testCase.isKnown) {
            ++expectedCount;
            EXPECT_EQ(result, S_OK);
            EXPECT_EQ(answer, reference);
            EXPECT_EQ(MessagesOf(tracer->GetLines()),
                      (Lines{"Driver::QueryInterface() S_OK refCounter=" + std::to_string(expectedCount)}));
        } else {
            EXPECT_EQ(result, E_NOINTERFACE);
            EXPECT_EQ(answer, reinterpret_cast<void*>(0x1));
            EXPECT_EQ(MessagesOf(tracer->GetLines()), (Lines{"Driver::QueryInterface() E_NOINTERFACE"}));
        }
    }
    // A null out pointer or a null driver: nothing written, nothing counted.
    EXPECT_EQ(Table().QueryInterface(reference, BytesOf(IUnknownUUID), nullptr), E_NOINTERFACE);
    void* answer = nullptr;
    EXPECT_EQ(Table().QueryInterface(nullptr, BytesOf(IUnknownUUID), &answer), E_NOINTERFACE);
    EXPECT_EQ(answer, nullptr);
    EXPECT_EQ(Table().AddRef(reference), expectedCount + 1);
}

TEST_F(DriverTest, TheReferenceCounterCountsFromZeroAndWraps)
{
    EXPECT_EQ(Table().AddRef(reference), 1u);
    EXPECT_EQ(Table().AddRef(reference), 2u);
    EXPECT_EQ(Table().Release(reference), 1u);
    EXPECT_EQ(Table().Release(reference), 0u);
    EXPECT_EQ(Table().Release(reference), 4294967295u);
    EXPECT_EQ(MessagesOf(tracer->GetLines()),
              (Lines{"Driver::AddRef() refCounter=1", "Driver::AddRef() refCounter=2", "Driver::Release() refCounter=1",
                     "Driver::Release() refCounter=0", "Driver::Release() refCounter=4294967295"}));
    EXPECT_EQ(Table().AddRef(nullptr), 0u);
    EXPECT_EQ(Table().Release(nullptr), 0u);
    // The driver goes on serving all the same.
    const AudioObjectPropertyAddress address{kAudioObjectPropertyClass, kGlobal, 0};
    EXPECT_TRUE(Table().HasProperty(reference, device->GetID(), 0, &address));
}

TEST_F(DriverTest, InitializeStoresTheHostAndAsksTheHandler)
{
    class FailingHandler : public hal::DriverRequestHandler
    {
    public:
        OSStatus OnInitialize() override
        {
            ++calls;
            return kAudioHardwareIllegalOperationError;
        }
        int calls = 0;
    };

    TestHost host;
    EXPECT_EQ(context->Host.load(), nullptr);
    EXPECT_EQ(Table().Initialize(reference, host.GetInterface()), 0);
    EXPECT_EQ(context->Host.load(), host.GetInterface());
    EXPECT_EQ(MessagesOf(tracer->GetLines()), (Lines{"Driver::Initialize()"}));

    // A failing handler's status goes to the host; the host pointer is stored all the same.
    TestHost second;
    FailingHandler handler;
    driver->SetDriverHandler(&handler);
    EXPECT_EQ(Table().Initialize(reference, second.GetInterface()), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(context->Host.load(), second.GetInterface());
    EXPECT_EQ(handler.calls, 1);
    const auto owned = std::make_shared<FailingHandler>();
    driver->SetDriverHandler(owned);
    EXPECT_EQ(Table().Initialize(reference, second.GetInterface()), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(owned->calls, 1);
    driver->SetDriverHandler(std::shared_ptr<hal::DriverRequestHandler>());
    EXPECT_EQ(Table().Initialize(reference, second.GetInterface()), 0);
    EXPECT_EQ(Table().Initialize(nullptr, second.GetInterface()), kAudioHardwareUnspecifiedError);
    context->Host.store(nullptr);
}

TEST_F(DriverTest, DevicesCannotBeCreatedOrDestroyed)
{
    AudioObjectID created = 99;
    const AudioServerPlugInClientInfo client{0, 0, 1, nullptr};
    EXPECT_EQ(Table().CreateDevice(reference, nullptr, &client, &created), kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(created, 99u);
    EXPECT_EQ(Table().DestroyDevice(reference, device->GetID()), kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(MessagesOf(tracer->GetLines()), (Lines{"Driver::CreateDevice()", "Driver::DestroyDevice()"}));
    EXPECT_EQ(Table().CreateDevice(nullptr, nullptr, nullptr, nullptr), kAudioHardwareUnspecifiedError);
}

// Calls each of the sixteen object entries on one object ID, with valid arguments, and returns
// their statuses (HasProperty as 1 or 0) in table order.
struct EveryEntry
{
    static constexpr std::size_t kCount = 16;
    static constexpr std::array<const char*, kCount> kNames = {
        "AddClient", "RemoveClient", "PerformConfigurationChange", "AbortConfigurationChange", "HasProperty",
        "IsPropertySettable", "GetPropertyDataSize", "GetPropertyData", "SetPropertyData", "StartIO", "StopIO",
        "GetZeroTimeStamp", "WillDoIOOperation", "BeginIOOperation", "DoIOOperation", "EndIOOperation"};
    // The first four and the last seven are the device entries.
    static bool IsDeviceEntry(std::size_t index) { return index < 4 || index >= 9; }
    // The IO thread's entries say nothing when they cannot serve.
    static bool IsRealtimeEntry(std::size_t index) { return index >= 11; }

    // `reference` goes to the entries of `table` as the host's first argument; it may be null.
    static std::array<OSStatus, kCount> Call(const AudioServerPlugInDriverInterface& table,
                                             AudioServerPlugInDriverRef reference, AudioObjectID objectID,
                                             AudioObjectID streamID)
    {
        const AudioServerPlugInClientInfo client{7, 1234, 1, nullptr};
        const AudioObjectPropertyAddress address{kAudioObjectPropertyClass, kGlobal, 0};
        const AudioServerPlugInIOCycleInfo cycle{};
        std::array<Float32, 64> buffer{};
        Boolean flag = false;
        Boolean inPlace = false;
        UInt32 size = 0;
        UInt32 value = 0;
        Float64 sampleTime = 0;
        UInt64 hostTime = 0;
        UInt64 seed = 0;
        return {
            table.AddDeviceClient(reference, objectID, &client),
            table.RemoveDeviceClient(reference, objectID, &client),
            table.PerformDeviceConfigurationChange(reference, objectID, 12345, nullptr),
            table.AbortDeviceConfigurationChange(reference, objectID, 12345, nullptr),
            static_cast<OSStatus>(table.HasProperty(reference, objectID, 0, &address)),
            table.IsPropertySettable(reference, objectID, 0, &address, &flag),
            table.GetPropertyDataSize(reference, objectID, 0, &address, 0, nullptr, &size),
            table.GetPropertyData(reference, objectID, 0, &address, 0, nullptr, sizeof value, &size, &value),
            // 'clas' is not settable anywhere: the object answers 'who?'.
            table.SetPropertyData(reference, objectID, 0, &address, 0, nullptr, sizeof value, &value),
            table.StartIO(reference, objectID, 7),
            table.StopIO(reference, objectID, 7),
            table.GetZeroTimeStamp(reference, objectID, 7, &sampleTime, &hostTime, &seed),
            table.WillDoIOOperation(reference, objectID, 7, kAudioServerPlugInIOOperationWriteMix, &flag, &inPlace),
            table.BeginIOOperation(reference, objectID, 7, kAudioServerPlugInIOOperationWriteMix, 8, &cycle),
            table.DoIOOperation(reference, objectID, streamID, 7, kAudioServerPlugInIOOperationWriteMix, 8, &cycle,
                                buffer.data(), nullptr),
            table.EndIOOperation(reference, objectID, 7, kAudioServerPlugInIOOperationWriteMix, 8, &cycle),
        };
    }
};

TEST_F(DriverTest, EveryEntryReachesTheDeviceItNames)
{
    const auto statuses = EveryEntry::Call(Table(), reference, device->GetID(), stream->GetID());
    const std::array<OSStatus, EveryEntry::kCount> expected = {
        0, 0, 0, 0, 1, 0, 0, 0, kAudioHardwareUnknownPropertyError, 0, 0, 0, 0, 0, 0, 0};
    for (std::size_t index = 0; index < EveryEntry::kCount; ++index) {
        EXPECT_EQ(statuses[index], expected[index]) << EveryEntry::kNames[index];
    }
    // The IO run really happened on the device: it started and stopped once.
    const Lines lines = tracer->GetLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "starting io: clientID=7"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "stopping io: clientID=7"), lines.end());
}

TEST_F(DriverTest, AnIDThatNamesNoDeviceIsRefusedByEveryEntryThatWantsOne)
{
    struct Case
    {
        const char* name;
        AudioObjectID objectID;
        bool isRegistered;  // registered, but not a device
    };
    const Case cases[] = {
        {"never registered", 4242, false},
        {"object 0", kAudioObjectUnknown, false},
        {"the plug-in object", kAudioObjectPlugInObject, true},
        {"a stream", stream->GetID(), true},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        tracer->ClearLines();
        const auto statuses = EveryEntry::Call(Table(), reference, testCase.objectID, stream->GetID());
        Lines expectedMessages;
        for (std::size_t index = 0; index < EveryEntry::kCount; ++index) {
            SCOPED_TRACE(EveryEntry::kNames[index]);
            const std::string prefix = std::string("Bridge::") + EveryEntry::kNames[index] +
                                       "() objectID=" + std::to_string(testCase.objectID);
            if (EveryEntry::IsDeviceEntry(index) || !testCase.isRegistered) {
                EXPECT_EQ(statuses[index], index == 4 ? 0 : kAudioHardwareBadObjectError);
                if (!EveryEntry::IsRealtimeEntry(index)) {
                    expectedMessages.push_back(prefix + (testCase.isRegistered ? " object is not a device"
                                                                               : " object not registered"));
                }
            }
        }
        // Only the bridge's own messages: the property entries on a registered non-device are the
        // object's business and trace inside its own operations.
        Lines bridgeMessages;
        for (const std::string& line : MessagesOf(tracer->GetLines())) {
            if (line.rfind("Bridge::", 0) == 0) {
                bridgeMessages.push_back(line);
            }
        }
        EXPECT_EQ(bridgeMessages, expectedMessages);
    }
}

TEST_F(DriverTest, WithoutADriverEveryEntryFailsSilently)
{
    const auto statuses = EveryEntry::Call(Table(), nullptr, device->GetID(), stream->GetID());
    for (std::size_t index = 0; index < EveryEntry::kCount; ++index) {
        EXPECT_EQ(statuses[index], index == 4 ? 0 : kAudioHardwareUnspecifiedError) << EveryEntry::kNames[index];
    }
    EXPECT_TRUE(tracer->GetLines().empty());
}

// A device whose operations throw, as an application's overrides might.
class ThrowingDevice : public hal::Device
{
public:
    ThrowingDevice(std::shared_ptr<const hal::Context> context, const hal::DeviceParameters& parameters)
        : Device(std::move(context), parameters)
    {
    }
    Boolean HasProperty(AudioObjectID, pid_t, const AudioObjectPropertyAddress*) const override
    {
        throw std::runtime_error("has");
    }
    OSStatus StartIO(AudioObjectID, UInt32) override { throw std::runtime_error("start"); }
    OSStatus GetZeroTimeStamp(AudioObjectID, UInt32, Float64*, UInt64*, UInt64*) HAL_NONBLOCKING override
    {
        throw 42;
    }
};

TEST_F(DriverTest, NoExceptionLeavesAnEntry)
{
    const auto throwing = hal::MakeObject<ThrowingDevice>(context, hal::DeviceParameters{});
    const AudioObjectPropertyAddress address{kAudioObjectPropertyClass, kGlobal, 0};
    EXPECT_FALSE(Table().HasProperty(reference, throwing->GetID(), 0, &address));
    EXPECT_EQ(Table().StartIO(reference, throwing->GetID(), 1), kAudioHardwareUnspecifiedError);
    Float64 sampleTime = 0;
    UInt64 hostTime = 0;
    UInt64 seed = 0;
    EXPECT_EQ(Table().GetZeroTimeStamp(reference, throwing->GetID(), 1, &sampleTime, &hostTime, &seed),
              kAudioHardwareUnspecifiedError);
}

// A device that holds a property read until the test lets it go, and says where it was destroyed.
class HeldDevice : public hal::Device
{
public:
    HeldDevice(std::shared_ptr<const hal::Context> context, const hal::DeviceParameters& parameters)
        : Device(std::move(context), parameters)
    {
    }
    ~HeldDevice() override { destroyedOn->set_value(std::this_thread::get_id()); }

    std::string GetName() const override
    {
        entered.set_value();
        release.get_future().wait();
        // Reads the object after its last owner let go: ASan reports it if that freed it.
        return name;
    }

    mutable std::promise<void> entered;
    mutable std::promise<void> release;
    std::promise<std::thread::id>* destroyedOn = nullptr;
    std::string name = "still here";
};

TEST_F(DriverTest, AnObjectReleasedDuringACallLivesUntilTheCallReturns)
{
    std::promise<std::thread::id> destroyedOn;
    auto held = hal::MakeObject<HeldDevice>(context, hal::DeviceParameters{});
    held->destroyedOn = &destroyedOn;
    const AudioObjectID heldID = held->GetID();
    std::future<void> entered = held->entered.get_future();
    std::promise<void>& release = held->release;

    std::string answer;
    std::thread host([&] {
        const AudioObjectPropertyAddress address{kAudioObjectPropertyName, kGlobal, 0};
        CFStringRef name = nullptr;
        UInt32 size = 0;
        EXPECT_EQ(Table().GetPropertyData(reference, heldID, 0, &address, 0, nullptr, sizeof name, &size, &name), 0);
        char text[64] = {};
        CFStringGetCString(name, text, sizeof text, kCFStringEncodingUTF8);
        answer = text;
        CFRelease(name);
    });
    entered.wait();
    held.reset();  // the last owner goes while the call runs
    std::future<std::thread::id> where = destroyedOn.get_future();
    EXPECT_EQ(where.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    release.set_value();
    host.join();

    EXPECT_EQ(answer, "still here");
    // Destroyed where the call let go of it, once it had returned.
    ASSERT_EQ(where.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    EXPECT_NE(where.get(), std::this_thread::get_id());
    const AudioObjectPropertyAddress address{kAudioObjectPropertyClass, kGlobal, 0};
    EXPECT_FALSE(Table().HasProperty(reference, heldID, 0, &address));
}

TEST(DriverConstructionTest, BuildsWhatItIsNotGiven)
{
    const auto tracer = std::make_shared<CapturingTracer>(CapturingTracer::Mode::Stderr, CapturingTracer::Style::Flat);
    const auto context = std::make_shared<hal::Context>(tracer);
    {
        hal::Driver driver(context);
        ASSERT_NE(driver.GetPlugin(), nullptr);
        EXPECT_EQ(driver.GetPlugin()->GetID(), kAudioObjectPlugInObject);
        EXPECT_EQ(driver.GetPlugin()->GetContext(), context);
        EXPECT_EQ(driver.GetStorage()->GetContext(), context);
        EXPECT_EQ(driver.GetPlugin()->GetManufacturer(), "Virtual Audio");
    }
    const Lines lines = MessagesOf(tracer->GetLines());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Driver::Driver()"), lines.end());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Driver::~Driver()"), 1);
}

} // namespace
