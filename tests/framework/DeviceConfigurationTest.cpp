#include "hal/Device.h"

#include "hal/Context.h"

#include "CapturingTracer.h"
#include "HostedDevice.h"
#include "TestHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using pelio::test::CapturingTracer;
using pelio::test::TestHost;
using Lines = std::vector<std::string>;

// Counts the calls of one store, to show when a deferred change stores and when it does not.
class CountingDevice : public hal::Device
{
public:
    CountingDevice(std::shared_ptr<const hal::Context> context, const hal::DeviceParameters& parameters)
        : Device(std::move(context), parameters)
    {
    }

    int latencyStores = 0;

protected:
    OSStatus SetLatencyImpl(UInt32 latency) override
    {
        ++latencyStores;
        return Device::SetLatencyImpl(latency);
    }
};

// The device with its host and owner (HostedDevice): `device`, `host`, `tracer`, `context`,
// `owner`, OwnAndKnowHost() and TracedInOrder() come from there.
class DeviceConfigurationTest : public ::testing::Test, protected pelio::test::HostedDevice<CountingDevice>
{
protected:
    std::vector<UInt64> RequestedActions() const
    {
        std::vector<UInt64> actions;
        for (const auto& request : host.GetConfigurationChangeRequests()) {
            EXPECT_EQ(request.deviceID, device->GetID());
            EXPECT_EQ(request.changeInfo, nullptr);
            actions.push_back(request.changeAction);
        }
        return actions;
    }
};

// ---- When a change waits for the host ----------------------------------------------------------

TEST_F(DeviceConfigurationTest, ChangesWaitForTheHostOnlyWhileOwnedWithTheHostKnown)
{
    struct Case
    {
        const char* description;
        bool owned;
        bool hostKnown;
        bool waits;
    };
    for (const Case& c : {Case{"built, not owned, no host", false, false, false},
                          Case{"not owned, host known", false, true, false},
                          Case{"owned before the host is known", true, false, false},
                          Case{"owned, host known", true, true, true}}) {
        SCOPED_TRACE(c.description);
        TestHost caseHost;
        const auto caseContext = std::make_shared<hal::Context>(tracer);
        const auto caseOwner = hal::MakeObject<hal::Object>(caseContext, "Owner");
        const auto caseDevice = hal::MakeObject<hal::Device>(caseContext, hal::DeviceParameters{});
        if (c.owned) {
            caseDevice->RequestOwnershipChange(caseOwner.get(), true);
        }
        if (c.hostKnown) {
            caseContext->Host.store(caseHost.GetInterface());
        }

        EXPECT_EQ(caseDevice->SetLatencyAsync(256), 0);
        EXPECT_EQ(caseDevice->SetPreferredChannelsAsync({AudioChannelDescription{5, 0, {}}}), 0);
        EXPECT_EQ(caseDevice->GetLatency(), c.waits ? 0u : 256u);
        EXPECT_EQ(caseDevice->GetPreferredChannelCount(), c.waits ? 2u : 1u);
        EXPECT_EQ(caseHost.GetConfigurationChangeRequests().size(), c.waits ? 2u : 0u);
    }
}

TEST_F(DeviceConfigurationTest, RequestIDsCountUpAndAreNeverReused)
{
    OwnAndKnowHost();

    EXPECT_EQ(device->SetLatencyAsync(256), 0);
    EXPECT_EQ(device->GetLatency(), 0u);
    EXPECT_EQ(RequestedActions(), (std::vector<UInt64>{0}));

    EXPECT_EQ(device->PerformConfigurationChange(device->GetID(), 0, nullptr), 0);
    EXPECT_EQ(device->GetLatency(), 256u);

    EXPECT_EQ(device->SetSafetyOffsetAsync(10), 0);
    EXPECT_EQ(device->AbortConfigurationChange(device->GetID(), 1, nullptr), 0);
    EXPECT_EQ(device->SetSafetyOffsetAsync(20), 0);
    EXPECT_EQ(RequestedActions(), (std::vector<UInt64>{0, 1, 2}));
    EXPECT_EQ(device->PerformConfigurationChange(device->GetID(), 2, nullptr), 0);
    EXPECT_EQ(device->GetSafetyOffset(), 20u);
}

TEST_F(DeviceConfigurationTest, AbortedChangeNeverRunsAndUnknownActionsAreIgnored)
{
    OwnAndKnowHost();
    ASSERT_EQ(device->SetLatencyAsync(256), 0);

    EXPECT_EQ(host.AbortPendingConfigurationChanges(), std::vector<OSStatus>{0});
    EXPECT_EQ(device->PerformConfigurationChange(device->GetID(), 0, nullptr), 0);
    EXPECT_EQ(device->PerformConfigurationChange(device->GetID(), 77, nullptr), 0);
    EXPECT_EQ(device->AbortConfigurationChange(device->GetID(), 78, nullptr), 0);

    EXPECT_EQ(device->GetLatency(), 0u);
    EXPECT_EQ(device->latencyStores, 0);
    EXPECT_TRUE(TracedInOrder({
        "Device::PerformConfigurationChange() aborting change request reqID=0",
        "Device::PerformConfigurationChange() ignoring null change request reqID=0",
        "Device::PerformConfigurationChange() ignoring null change request reqID=77",
        "Device::PerformConfigurationChange() aborting change request reqID=78",
    }));
}

TEST_F(DeviceConfigurationTest, ARequestAndItsPerformAreTraced)
{
    OwnAndKnowHost();
    const std::string id = std::to_string(device->GetID());

    ASSERT_EQ(device->SetNominalSampleRateAsync(44100.0), 0);
    ASSERT_EQ(device->SetLatencyAsync(256), 0);
    host.PerformPendingConfigurationChanges();

    EXPECT_TRUE(TracedInOrder({
        "Device::SetNominalSampleRateAsync() begin objectID=" + id,
        "value not changed",
        "Device::SetNominalSampleRateAsync() end status=OK",
        "Device::SetLatencyAsync() begin objectID=" + id,
        "Device::RequestConfigurationChange() enqueueing change reqID=0",
        "Device::SetLatencyAsync() end status=OK",
        "Device::PerformConfigurationChange() performing queued change reqID=0",
        "Device::SetLatencyImpl() begin objectID=" + id,
        "setting value to 256",
        "Device::SetLatencyImpl() end status=OK",
    }));
    EXPECT_EQ(RequestedActions(), (std::vector<UInt64>{0}));
}

TEST_F(DeviceConfigurationTest, EachStoreTracesItsValueAsText)
{
    // In place, so that every step traces at once.
    ASSERT_EQ(device->SetAvailableSampleRatesAsync({{44100.0, 48000.0}}), 0);
    ASSERT_EQ(device->SetNominalSampleRateAsync(48000.0), 0);
    ASSERT_EQ(device->SetPreferredChannelsForStereoAsync({2, 1}), 0);
    ASSERT_EQ(device->SetPreferredChannelCountAsync(4), 0);
    ASSERT_EQ(device->SetPreferredChannelsAsync({AudioChannelDescription{1, 0, {}}}), 0);
    ASSERT_EQ(device->SetPreferredChannelLayoutAsync(std::vector<UInt8>(12, 0)), 0);
    ASSERT_EQ(device->SetZeroTimeStampPeriodAsync(512), 0);

    EXPECT_TRUE(TracedInOrder({
        "Device::RequestConfigurationChange() applying change in-place",
        "Device::SetAvailableSampleRatesImpl() begin objectID=" + std::to_string(device->GetID()),
        "setting value to [{min:44100 max:48000}]",
        "Device::SetNominalSampleRateImpl() begin objectID=" + std::to_string(device->GetID()),
        "setting value to 48000.000000",
        "setting value to ...",
        "setting value to 4",
        "setting value to [...]",
        "setting value to [0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]",
        "setting value to 512",
    }));
}

// ---- Equality: what counts as "value not changed" ------------------------------------------------

TEST_F(DeviceConfigurationTest, ListValuesCompareFieldByField)
{
    constexpr Float32 kNaN = std::numeric_limits<Float32>::quiet_NaN();
    const auto channel = [](UInt32 label, UInt32 flags, Float32 x, Float32 y, Float32 z) {
        return AudioChannelDescription{label, flags, {x, y, z}};
    };
    const auto layoutOf = [](std::vector<UInt8> tail) {
        std::vector<UInt8> layout = {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}; // a tag of its own, no descriptions
        layout.insert(layout.end(), tail.begin(), tail.end());
        return layout;
    };
    struct Case
    {
        const char* description;
        std::function<void(hal::Device&)> current; // applied before the device waits for the host
        std::function<OSStatus(hal::Device&)> request;
        bool requested;
    };
    const Case cases[] = {
        {"ranges: equal", [](hal::Device& d) { d.SetAvailableSampleRatesAsync({{44100, 48000}, {96000, 96000}}); },
         [](hal::Device& d) { return d.SetAvailableSampleRatesAsync({{44100, 48000}, {96000, 96000}}); }, false},
        {"ranges: one more", [](hal::Device& d) { d.SetAvailableSampleRatesAsync({{44100, 48000}}); },
         [](hal::Device& d) { return d.SetAvailableSampleRatesAsync({{44100, 48000}, {44100, 48000}}); }, true},
        {"ranges: another maximum", [](hal::Device& d) { d.SetAvailableSampleRatesAsync({{44100, 48000}}); },
         [](hal::Device& d) { return d.SetAvailableSampleRatesAsync({{44100, 48001}}); }, true},
        {"ranges: the default single range, spelt out", [](hal::Device&) {},
         [](hal::Device& d) { return d.SetAvailableSampleRatesAsync({{44100, 44100}}); }, false},
        {"ranges: empty instead of the default", [](hal::Device&) {},
         [](hal::Device& d) { return d.SetAvailableSampleRatesAsync({}); }, true},
        {"channels: equal", [&](hal::Device& d) { d.SetPreferredChannelsAsync({channel(1, 1, 0.5f, 0, 0)}); },
         [&](hal::Device& d) { return d.SetPreferredChannelsAsync({channel(1, 1, 0.5f, 0, 0)}); }, false},
        {"channels: the derived default, spelt out", [](hal::Device&) {},
         [&](hal::Device& d) { return d.SetPreferredChannelsAsync({channel(1, 0, 0, 0, 0), channel(2, 0, 0, 0, 0)}); },
         false},
        {"channels: another label", [&](hal::Device& d) { d.SetPreferredChannelsAsync({channel(1, 1, 0, 0, 0)}); },
         [&](hal::Device& d) { return d.SetPreferredChannelsAsync({channel(2, 1, 0, 0, 0)}); }, true},
        {"channels: other flags", [&](hal::Device& d) { d.SetPreferredChannelsAsync({channel(1, 1, 0, 0, 0)}); },
         [&](hal::Device& d) { return d.SetPreferredChannelsAsync({channel(1, 2, 0, 0, 0)}); }, true},
        {"channels: another third coordinate",
         [&](hal::Device& d) { d.SetPreferredChannelsAsync({channel(1, 1, 0, 0, 1)}); },
         [&](hal::Device& d) { return d.SetPreferredChannelsAsync({channel(1, 1, 0, 0, 2)}); }, true},
        {"channels: coordinates compare as floats, 0 equals -0",
         [&](hal::Device& d) { d.SetPreferredChannelsAsync({channel(1, 1, 0.0f, 0, 0)}); },
         [&](hal::Device& d) { return d.SetPreferredChannelsAsync({channel(1, 1, -0.0f, 0, 0)}); }, false},
        {"channels: a NaN coordinate equals nothing, not even itself",
         [&](hal::Device& d) { d.SetPreferredChannelsAsync({channel(1, 1, kNaN, 0, 0)}); },
         [&](hal::Device& d) { return d.SetPreferredChannelsAsync({channel(1, 1, kNaN, 0, 0)}); }, true},
        {"channels: one fewer", [&](hal::Device& d) { d.SetPreferredChannelsAsync({channel(1, 0, 0, 0, 0)}); },
         [&](hal::Device& d) { return d.SetPreferredChannelsAsync({}); }, true},
        {"layout: equal bytes", [&](hal::Device& d) { d.SetPreferredChannelLayoutAsync(layoutOf({7})); },
         [&](hal::Device& d) { return d.SetPreferredChannelLayoutAsync(layoutOf({7})); }, false},
        {"layout: one byte differs", [&](hal::Device& d) { d.SetPreferredChannelLayoutAsync(layoutOf({7})); },
         [&](hal::Device& d) { return d.SetPreferredChannelLayoutAsync(layoutOf({8})); }, true},
        {"layout: one byte more", [&](hal::Device& d) { d.SetPreferredChannelLayoutAsync(layoutOf({7})); },
         [&](hal::Device& d) { return d.SetPreferredChannelLayoutAsync(layoutOf({7, 0})); }, true},
        {"stereo pair: equal", [](hal::Device&) {},
         [](hal::Device& d) { return d.SetPreferredChannelsForStereoAsync({1, 2}); }, false},
        {"stereo pair: swapped", [](hal::Device&) {},
         [](hal::Device& d) { return d.SetPreferredChannelsForStereoAsync({2, 1}); }, true},
        {"sample rate: as a float", [](hal::Device&) {},
         [](hal::Device& d) { return d.SetNominalSampleRateAsync(44100.0); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        TestHost caseHost;
        const auto caseContext = std::make_shared<hal::Context>(tracer);
        const auto caseOwner = hal::MakeObject<hal::Object>(caseContext, "Owner");
        const auto caseDevice = hal::MakeObject<hal::Device>(caseContext, hal::DeviceParameters{});
        c.current(*caseDevice);
        caseDevice->RequestOwnershipChange(caseOwner.get(), true);
        caseContext->Host.store(caseHost.GetInterface());

        EXPECT_EQ(c.request(*caseDevice), 0);
        EXPECT_EQ(caseHost.GetConfigurationChangeRequests().size(), c.requested ? 1u : 0u);
    }
}

// ---- Which value wins ----------------------------------------------------------------------------

TEST_F(DeviceConfigurationTest, RestoringTheCurrentValueWhileAChangeIsPendingIsDropped)
{
    OwnAndKnowHost();
    ASSERT_EQ(device->SetLatencyAsync(10), 0);
    tracer->ClearLines();

    EXPECT_EQ(device->SetLatencyAsync(0), 0);
    EXPECT_TRUE(TracedInOrder({"value not changed"}));
    host.PerformPendingConfigurationChanges();

    EXPECT_EQ(device->GetLatency(), 10u);
    EXPECT_EQ(RequestedActions(), (std::vector<UInt64>{0}));
}

TEST_F(DeviceConfigurationTest, AChangeThatFindsItsValueAlreadyStoredStoresNothing)
{
    OwnAndKnowHost();
    ASSERT_EQ(device->SetLatencyAsync(10), 0);
    ASSERT_EQ(device->SetLatencyAsync(10), 0); // compared with the current 0, not with the pending 10
    ASSERT_EQ(RequestedActions(), (std::vector<UInt64>{0, 1}));

    host.PerformPendingConfigurationChanges();

    EXPECT_EQ(device->GetLatency(), 10u);
    EXPECT_EQ(device->latencyStores, 1);
    EXPECT_TRUE(TracedInOrder({"Device::PerformConfigurationChange() performing queued change reqID=1",
                               "Device::SetLatencyImpl() begin objectID=" + std::to_string(device->GetID()),
                               "value not changed", "Device::SetLatencyImpl() end status=OK"}));
}

TEST_F(DeviceConfigurationTest, SampleRateMustBeAvailableWhenRequested)
{
    OwnAndKnowHost();

    EXPECT_EQ(device->SetNominalSampleRateAsync(48000.0), kAudioHardwareUnsupportedOperationError);
    EXPECT_TRUE(TracedInOrder({"rate 48000.000000 is not supported", "value is invalid",
                               "Device::SetNominalSampleRateAsync() end status=kAudioHardwareUnsupportedOperationError"}));
    EXPECT_TRUE(RequestedActions().empty());

    ASSERT_EQ(device->SetAvailableSampleRatesAsync({{44100.0, 48000.0}}), 0);
    host.PerformPendingConfigurationChanges();
    EXPECT_EQ(device->SetNominalSampleRateAsync(48000.0), 0);
    EXPECT_EQ(device->GetNominalSampleRate(), 44100.0);
    host.PerformPendingConfigurationChanges();
    EXPECT_EQ(device->GetNominalSampleRate(), 48000.0);
}

// The empty list of available rates admits every rate, and the host can send any Float64: a
// rate that is not a finite positive number must still never reach the clock.
TEST_F(DeviceConfigurationTest, SampleRatesThatWouldBreakTheClockAreRefusedEvenWhenAllAreAvailable)
{
    ASSERT_EQ(device->SetAvailableSampleRatesAsync({}), 0);
    for (const Float64 rate : {std::numeric_limits<Float64>::quiet_NaN(), std::numeric_limits<Float64>::infinity(),
                               0.0, -48000.0}) {
        EXPECT_EQ(device->SetNominalSampleRateAsync(rate), kAudioHardwareUnsupportedOperationError) << rate;
    }
    EXPECT_EQ(device->GetNominalSampleRate(), 44100.0);
    EXPECT_EQ(device->SetNominalSampleRateAsync(12345.0), 0);
    EXPECT_EQ(device->GetNominalSampleRate(), 12345.0);
}

// A zero time stamp period of 0 frames would keep the clock's host time at the start of the IO
// run; a layout the host cannot read as one AudioChannelLayout would be handed to it as one.
TEST_F(DeviceConfigurationTest, ShapesTheHostCannotUseAreRefused)
{
    const auto layout = [](UInt32 tag, UInt32 count, std::size_t size) {
        std::vector<UInt8> bytes(size, 0);
        std::memcpy(bytes.data(), &tag, 4);
        std::memcpy(bytes.data() + 8, &count, 4);
        return bytes;
    };
    struct Case
    {
        const char* description;
        std::function<OSStatus(hal::Device&)> request;
        OSStatus expected;
    };
    const Case cases[] = {
        {"period 0", [](hal::Device& d) { return d.SetZeroTimeStampPeriodAsync(0); },
         kAudioHardwareIllegalOperationError},
        {"empty layout", [](hal::Device& d) { return d.SetPreferredChannelLayoutAsync({}); },
         kAudioHardwareIllegalOperationError},
        {"layout shorter than its header",
         [](hal::Device& d) { return d.SetPreferredChannelLayoutAsync(std::vector<UInt8>(11, 0)); },
         kAudioHardwareIllegalOperationError},
        {"layout counting more descriptions than it holds",
         [&](hal::Device& d) { return d.SetPreferredChannelLayoutAsync(layout(0, 2, 12 + 20)); },
         kAudioHardwareIllegalOperationError},
        {"layout counting 2^32-1 descriptions",
         [&](hal::Device& d) { return d.SetPreferredChannelLayoutAsync(layout(0, 0xFFFFFFFF, 12 + 20)); },
         kAudioHardwareIllegalOperationError},
        {"layout with its descriptions", [&](hal::Device& d) { return d.SetPreferredChannelLayoutAsync(layout(0, 2, 52)); },
         0},
        {"layout with trailing bytes", [&](hal::Device& d) { return d.SetPreferredChannelLayoutAsync(layout(0, 0, 32)); },
         0},
        {"layout with a tag of its own",
         [&](hal::Device& d) { return d.SetPreferredChannelLayoutAsync(layout(kAudioChannelLayoutTag_Stereo, 0, 12)); },
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        const auto caseDevice = hal::MakeObject<hal::Device>(context, hal::DeviceParameters{});
        const auto before = caseDevice->GetPreferredChannelLayout();
        const UInt32 periodBefore = caseDevice->GetZeroTimeStampPeriod();
        EXPECT_EQ(c.request(*caseDevice), c.expected);
        if (c.expected != 0) {
            EXPECT_EQ(caseDevice->GetPreferredChannelLayout(), before);
            EXPECT_EQ(caseDevice->GetZeroTimeStampPeriod(), periodBefore);
        }
    }
}

TEST_F(DeviceConfigurationTest, PreferredChannelCountsBeyondTheLimitAreRefused)
{
    // Every read of the derived channels or layout would build that many descriptions.
    for (const UInt32 count : {hal::Device::kMaximumPreferredChannelCount + 1, 0xFFFFFFFFu}) {
        SCOPED_TRACE(count);
        EXPECT_EQ(device->SetPreferredChannelCountAsync(count), kAudioHardwareIllegalOperationError);
        EXPECT_EQ(device->GetPreferredChannelCount(), 2u);
    }
    EXPECT_TRUE(TracedInOrder({"value is invalid"}));
    EXPECT_EQ(device->SetPreferredChannelCountAsync(hal::Device::kMaximumPreferredChannelCount), 0);
    EXPECT_EQ(device->GetPreferredChannelCount(), hal::Device::kMaximumPreferredChannelCount);
}

// A host that says no will neither perform nor abort: the change must not linger, to run at some
// later detach, while its requester believes it accepted.
TEST_F(DeviceConfigurationTest, ARefusedRequestIsDroppedAndItsSetterReportsTheRefusal)
{
    OwnAndKnowHost();
    host.RefuseConfigurationChangesWith(kAudioHardwareUnspecifiedError);

    EXPECT_EQ(device->SetLatencyAsync(256), kAudioHardwareUnspecifiedError);
    EXPECT_EQ(RequestedActions(), (std::vector<UInt64>{0}));
    EXPECT_TRUE(TracedInOrder({
        "Device::RequestConfigurationChange() enqueueing change reqID=0",
        "Device::RequestConfigurationChange() host refused change reqID=0 status=" +
            std::to_string(kAudioHardwareUnspecifiedError),
        "Device::SetLatencyAsync() end status=kAudioHardwareUnspecifiedError",
    }));

    // Nothing is pending: neither a late perform nor a detach applies it.
    EXPECT_EQ(device->PerformConfigurationChange(device->GetID(), 0, nullptr), 0);
    device->RequestOwnershipChange(owner.get(), false);
    EXPECT_EQ(device->GetLatency(), 0u);
    EXPECT_EQ(device->latencyStores, 0);

    // Accepted again, requests wait for the host as before.
    host.RefuseConfigurationChangesWith(0);
    OwnAndKnowHost();
    EXPECT_EQ(device->SetLatencyAsync(256), 0);
    EXPECT_EQ(host.PerformPendingConfigurationChanges(), std::vector<OSStatus>{0});
    EXPECT_EQ(device->GetLatency(), 256u);
}

// ---- Changes inside changes ----------------------------------------------------------------------

TEST_F(DeviceConfigurationTest, ARequestFromInsideAPerformedChangeAppliesAtOnce)
{
    OwnAndKnowHost();
    device->RequestConfigurationChange([this] {
        EXPECT_EQ(device->SetSafetyOffsetAsync(7), 0);
        EXPECT_EQ(device->GetSafetyOffset(), 7u);
    });
    ASSERT_EQ(RequestedActions(), (std::vector<UInt64>{0}));

    EXPECT_EQ(device->PerformConfigurationChange(device->GetID(), 0, nullptr), 0);

    EXPECT_EQ(device->GetSafetyOffset(), 7u);
    EXPECT_EQ(RequestedActions(), (std::vector<UInt64>{0}));
    // Back outside: the next request waits for the host again.
    ASSERT_EQ(device->SetSafetyOffsetAsync(8), 0);
    EXPECT_EQ(device->GetSafetyOffset(), 7u);
}

// The host calls PerformConfigurationChange directly, and nothing may be thrown at it; the device
// must also not be left believing that it is still inside a perform.
TEST_F(DeviceConfigurationTest, AChangeThatThrowsFailsItsPerformAndLeavesTheProtocolIntact)
{
    OwnAndKnowHost();
    device->RequestConfigurationChange([] { throw std::runtime_error("no memory"); });

    OSStatus status = 0;
    EXPECT_NO_THROW(status = device->PerformConfigurationChange(device->GetID(), 0, nullptr));
    EXPECT_EQ(status, kAudioHardwareUnspecifiedError);
    EXPECT_TRUE(TracedInOrder({"Device::PerformConfigurationChange() change failed reqID=0"}));

    ASSERT_EQ(device->SetLatencyAsync(5), 0);
    EXPECT_EQ(device->GetLatency(), 0u) << "a later request must wait for the host, not apply at once";
    EXPECT_EQ(RequestedActions(), (std::vector<UInt64>{0, 1}));
}

// ---- Ownership ----------------------------------------------------------------------------------

TEST_F(DeviceConfigurationTest, DetachingAppliesPendingChangesOldestFirst)
{
    OwnAndKnowHost();
    std::vector<int> order;
    device->RequestConfigurationChange([&] { order.push_back(0); });
    ASSERT_EQ(device->SetLatencyAsync(10), 0);
    ASSERT_EQ(device->SetLatencyAsync(20), 0);
    device->RequestConfigurationChange([&] { order.push_back(3); });
    ASSERT_EQ(device->GetLatency(), 0u);

    device->RequestOwnershipChange(owner.get(), false);

    EXPECT_EQ(order, (std::vector<int>{0, 3}));
    EXPECT_EQ(device->GetLatency(), 20u); // 10, then 20
    EXPECT_FALSE(device->HasOwner());
    EXPECT_TRUE(owner->GetOwnedObjectIDs(kAudioObjectPropertyScopeGlobal, 0).empty());
    const std::string id = std::to_string(device->GetID());
    const std::string ownerID = std::to_string(owner->GetID());
    EXPECT_TRUE(TracedInOrder({
        "Device::RequestOwnershipChange() detaching owner devID=" + id + " ownerID=" + ownerID,
        "Device::RequestOwnershipChange() applying pending configuration changes in-place devID=" + id
            + "  numChanges=4",
    }));

    // Nothing is left for the host, and later changes apply at once.
    host.PerformPendingConfigurationChanges();
    EXPECT_EQ(order, (std::vector<int>{0, 3}));
    ASSERT_EQ(device->SetLatencyAsync(30), 0);
    EXPECT_EQ(device->GetLatency(), 30u);
}

TEST_F(DeviceConfigurationTest, AttachingAnOwnedDeviceChangesNothing)
{
    const auto otherOwner = hal::MakeObject<hal::Object>(context, "OtherOwner");
    device->RequestOwnershipChange(owner.get(), true);
    ASSERT_EQ(device->GetOwnerID(), owner->GetID());
    EXPECT_EQ(owner->GetOwnedObjectIDs(kAudioObjectPropertyScopeGlobal, 0),
              std::vector<AudioObjectID>{device->GetID()});
    EXPECT_TRUE(TracedInOrder({"Device::RequestOwnershipChange() attaching owner devID="
                               + std::to_string(device->GetID()) + " ownerID=" + std::to_string(owner->GetID())}));

    device->RequestOwnershipChange(otherOwner.get(), true);
    device->RequestOwnershipChange(owner.get(), true);

    EXPECT_EQ(device->GetOwnerID(), owner->GetID());
    EXPECT_TRUE(otherOwner->GetOwnedObjectIDs(kAudioObjectPropertyScopeGlobal, 0).empty());
    // Detaching a device that has no owner does nothing either.
    device->RequestOwnershipChange(owner.get(), false);
    device->RequestOwnershipChange(owner.get(), false);
    EXPECT_FALSE(device->HasOwner());
}

// Only the owner can let the device go: another object's detach must leave the changes that the
// owner's host is still to perform where they are.
TEST_F(DeviceConfigurationTest, DetachingFromAnObjectThatIsNotTheOwnerDoesNothing)
{
    OwnAndKnowHost();
    const auto stranger = hal::MakeObject<hal::Object>(context, "Stranger");
    ASSERT_EQ(device->SetLatencyAsync(256), 0);

    device->RequestOwnershipChange(stranger.get(), false);

    EXPECT_EQ(device->GetOwnerID(), owner->GetID());
    EXPECT_EQ(device->GetLatency(), 0u);
    EXPECT_TRUE(TracedInOrder({"Device::RequestOwnershipChange() not detaching devID=" + std::to_string(device->GetID())
                               + " ownerID=" + std::to_string(stranger->GetID()) + ": not the owner"}));
    EXPECT_EQ(host.PerformPendingConfigurationChanges(), std::vector<OSStatus>{0});
    EXPECT_EQ(device->GetLatency(), 256u);
}

TEST_F(DeviceConfigurationTest, OwnershipNeedsASharedReferenceToTheDevice)
{
    struct Unshared : hal::Device
    {
        explicit Unshared(std::shared_ptr<const hal::Context> c)
            : Device(std::move(c), hal::DeviceParameters{})
        {
        }
    };
    Unshared unshared(context);
    EXPECT_THROW(unshared.RequestOwnershipChange(owner.get(), true), std::bad_weak_ptr);
}

// A change being performed may itself detach the device. It must not then be run a second time
// by the detach, which applies only what is still pending.
TEST_F(DeviceConfigurationTest, AChangeRunsOnceEvenIfItDetachesTheDevice)
{
    OwnAndKnowHost();
    int detachingRuns = 0;
    int otherRuns = 0;
    device->RequestConfigurationChange([&] {
        ++detachingRuns;
        device->RequestOwnershipChange(owner.get(), false);
    });
    device->RequestConfigurationChange([&] { ++otherRuns; });

    EXPECT_EQ(device->PerformConfigurationChange(device->GetID(), 0, nullptr), 0);

    EXPECT_EQ(detachingRuns, 1);
    EXPECT_EQ(otherRuns, 1);
    EXPECT_FALSE(device->HasOwner());
}

// The owner's reference may be the last one: the device must survive its own detach until the
// pending changes have run and its mutex is released.
TEST_F(DeviceConfigurationTest, DetachingFromTheLastOwningReferenceIsSafe)
{
    OwnAndKnowHost();
    ASSERT_EQ(device->SetLatencyAsync(10), 0);
    const std::weak_ptr<CountingDevice> watch = device;
    CountingDevice* const raw = device.get();
    device.reset();
    ASSERT_FALSE(watch.expired()) << "the owner keeps it";

    raw->RequestOwnershipChange(owner.get(), false);

    EXPECT_TRUE(watch.expired());
    EXPECT_TRUE(TracedInOrder({"setting value to 10"}));
}

// ---- Immediate setters ---------------------------------------------------------------------------

TEST_F(DeviceConfigurationTest, ImmediateSettersStoreAtOnceAndNotifyOnlyChanges)
{
    OwnAndKnowHost();
    struct Case
    {
        const char* operation;
        std::function<OSStatus(hal::Device&, bool)> set;
        std::function<bool(const hal::Device&)> get;
        AudioObjectPropertySelector property;
    };
    const Case cases[] = {
        {"Device::SetIsAlive()", [](hal::Device& d, bool v) { return d.SetIsAlive(v); },
         [](const hal::Device& d) { return d.GetIsAlive(); }, kAudioDevicePropertyDeviceIsAlive},
        {"Device::SetIsHidden()", [](hal::Device& d, bool v) { return d.SetIsHidden(v); },
         [](const hal::Device& d) { return d.GetIsHidden(); }, kAudioDevicePropertyIsHidden},
        {"Device::SetCanBeDefaultDevice()", [](hal::Device& d, bool v) { return d.SetCanBeDefaultDevice(v); },
         [](const hal::Device& d) { return d.GetCanBeDefaultDevice(); },
         kAudioDevicePropertyDeviceCanBeDefaultDevice},
        {"Device::SetCanBeDefaultSystemDevice()",
         [](hal::Device& d, bool v) { return d.SetCanBeDefaultSystemDevice(v); },
         [](const hal::Device& d) { return d.GetCanBeDefaultSystemDevice(); },
         kAudioDevicePropertyDeviceCanBeDefaultSystemDevice},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.operation);
        host.ClearNotifications();
        tracer->ClearLines();
        const bool flipped = !c.get(*device);

        EXPECT_EQ(c.set(*device, flipped), 0);
        EXPECT_EQ(c.get(*device), flipped);
        EXPECT_EQ(c.set(*device, flipped), 0);

        const TestHost::Notification expected{device->GetID(), {{c.property, kAudioObjectPropertyScopeGlobal, 0}}};
        EXPECT_EQ(host.GetNotifications(), std::vector<TestHost::Notification>{expected});
        EXPECT_TRUE(TracedInOrder({std::string(c.operation) + " begin objectID=" + std::to_string(device->GetID()),
                                   std::string("setting value to ") + (flipped ? "1" : "0"),
                                   std::string(c.operation) + " end status=OK", "value not changed"}));
    }
    EXPECT_TRUE(RequestedActions().empty());
}

TEST_F(DeviceConfigurationTest, IdentifyIsRefusedWithoutNotification)
{
    OwnAndKnowHost();
    EXPECT_EQ(device->SetIsIdentifying(true), kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(device->SetIsIdentifying(false), 0);
    EXPECT_FALSE(device->GetIsIdentifying());
    EXPECT_TRUE(host.GetNotifications().empty());
    EXPECT_TRUE(TracedInOrder({"setting value to 1", "setter failed",
                               "Device::SetIsIdentifying() end status=kAudioHardwareUnsupportedOperationError",
                               "value not changed"}));
}

} // namespace
