#include "hal/Device.h"

#include "hal/Context.h"

#include "CapturingTracer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace {

using pelio::test::CapturingTracer;

// A device whose stores the tests may call directly, to put it into states that the setters
// refuse to produce.
class StoreAccessDevice : public hal::Device
{
public:
    StoreAccessDevice(std::shared_ptr<const hal::Context> context, const hal::DeviceParameters& parameters)
        : Device(std::move(context), parameters)
    {
    }

    using Device::SetAvailableSampleRatesImpl;
    using Device::SetPreferredChannelCountImpl;
    using Device::SetPreferredChannelLayoutImpl;
    using Device::SetPreferredChannelsImpl;
};

// A device whose preferred channel count comes from somewhere else: the derived channels and
// layout must follow it.
class SixChannelDevice : public hal::Device
{
public:
    SixChannelDevice(std::shared_ptr<const hal::Context> context, const hal::DeviceParameters& parameters)
        : Device(std::move(context), parameters)
    {
    }

    UInt32 GetPreferredChannelCount() const HAL_NONBLOCKING override { return 6; }
};

class DeviceTest : public ::testing::Test
{
protected:
    std::shared_ptr<CapturingTracer> tracer =
        std::make_shared<CapturingTracer>(CapturingTracer::Mode::Stderr, CapturingTracer::Style::Flat);
    std::shared_ptr<hal::Context> context = std::make_shared<hal::Context>(tracer);

    template <class DeviceClass = hal::Device>
    std::shared_ptr<DeviceClass> MakeDevice(const hal::DeviceParameters& parameters = {})
    {
        return hal::MakeObject<DeviceClass>(context, parameters);
    }

    bool Traced(const std::string& line) const
    {
        const auto lines = tracer->GetLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

std::vector<UInt32> LabelsOf(const std::vector<AudioChannelDescription>& channels)
{
    std::vector<UInt32> labels;
    for (const auto& channel : channels) {
        labels.push_back(channel.mChannelLabel);
    }
    return labels;
}

AudioChannelDescription Channel(UInt32 label, Float32 coordinate = 0.0f)
{
    AudioChannelDescription channel{};
    channel.mChannelLabel = label;
    channel.mChannelFlags = kAudioChannelFlags_RectangularCoordinates;
    channel.mCoordinates[0] = coordinate;
    return channel;
}

// One AudioChannelLayout in its variable-length form; `claimedCount` lets a test lie about the
// number of descriptions that follow.
std::vector<UInt8> Layout(AudioChannelLayoutTag tag,
                          const std::vector<AudioChannelDescription>& channels,
                          std::optional<UInt32> claimedCount = std::nullopt)
{
    std::vector<UInt8> bytes(12 + 20 * channels.size(), 0);
    const UInt32 count = claimedCount.value_or(static_cast<UInt32>(channels.size()));
    std::memcpy(bytes.data(), &tag, 4);
    std::memcpy(bytes.data() + 8, &count, 4);
    if (!channels.empty()) {
        std::memcpy(bytes.data() + 12, channels.data(), 20 * channels.size());
    }
    return bytes;
}

UInt32 WordAt(const std::vector<UInt8>& bytes, std::size_t offset)
{
    UInt32 word = 0;
    std::memcpy(&word, bytes.data() + offset, 4);
    return word;
}

// ---- Parameters and construction -----------------------------------------------------------------

TEST_F(DeviceTest, DefaultParametersReadBackThroughTheGetters)
{
    const auto device = MakeDevice();

    EXPECT_EQ(device->GetName(), "Virtual Audio Device");
    EXPECT_EQ(device->GetManufacturer(), "Virtual Audio");
    EXPECT_EQ(device->GetModelUID(), "virtual-audio");
    EXPECT_EQ(device->GetSerialNumber(), "");
    EXPECT_EQ(device->GetFirmwareVersion(), "");
    EXPECT_EQ(device->GetIconURL(), "");
    EXPECT_EQ(device->GetConfigurationApplicationBundleID(), "");
    EXPECT_EQ(device->GetTransportType(), UInt32{'virt'});
    EXPECT_TRUE(device->GetClockIsStable());
    EXPECT_EQ(device->GetClockAlgorithm(), UInt32{'iirf'});
    EXPECT_EQ(device->GetClockDomain(), 0u);
    EXPECT_EQ(device->GetLatency(), 0u);
    EXPECT_EQ(device->GetSafetyOffset(), 0u);
    EXPECT_EQ(device->GetZeroTimeStampPeriod(), 44100u);
    EXPECT_EQ(device->GetNominalSampleRate(), 44100.0);
    EXPECT_EQ(device->GetPreferredChannelsForStereo(), (std::array<UInt32, 2>{1, 2}));
    EXPECT_EQ(device->GetPreferredChannelCount(), 2u);
    EXPECT_FALSE(device->GetIsRunning());
    EXPECT_FALSE(device->GetIsIdentifying());
    EXPECT_TRUE(device->GetIsAlive());
    EXPECT_FALSE(device->GetIsHidden());
    EXPECT_TRUE(device->GetCanBeDefaultDevice());
    EXPECT_TRUE(device->GetCanBeDefaultSystemDevice());
    EXPECT_EQ(device->GetRelatedDeviceIDs(), std::vector<AudioObjectID>{device->GetID()});
    EXPECT_TRUE(device->GetStreamIDs(kAudioObjectPropertyScopeGlobal).empty());
    EXPECT_TRUE(device->GetControlIDs(kAudioObjectPropertyScopeGlobal).empty());
    // Built, not attached: the constructor adds the device to nothing.
    EXPECT_FALSE(device->HasOwner());
}

TEST_F(DeviceTest, PelioParametersReadBackThroughTheGetters)
{
    hal::DeviceParameters parameters;
    parameters.Name = "Pelio iPhone";
    parameters.Manufacturer = "Pelio Audio";
    parameters.DeviceUID = "local.pelio.audio.iphone.output";
    parameters.ModelUID = "local.pelio.audio.iphone";
    parameters.SerialNumber = "serial-1";
    parameters.FirmwareVersion = "1.2";
    parameters.IconURL = "file:///icon.icns";
    parameters.ConfigurationApplicationBundleID = "local.pelio.settings";
    parameters.CanBeDefaultSystemDevice = false;
    parameters.SampleRate = 48000;
    parameters.Latency = 32;
    parameters.SafetyOffset = 16;
    parameters.ClockIsStable = false;
    parameters.ClockAlgorithm = kAudioDeviceClockAlgorithmRaw;
    parameters.ClockDomain = 7;
    const auto device = MakeDevice(parameters);

    EXPECT_EQ(device->GetName(), "Pelio iPhone");
    EXPECT_EQ(device->GetManufacturer(), "Pelio Audio");
    EXPECT_EQ(device->GetDeviceUID(), "local.pelio.audio.iphone.output");
    EXPECT_EQ(device->GetModelUID(), "local.pelio.audio.iphone");
    EXPECT_EQ(device->GetSerialNumber(), "serial-1");
    EXPECT_EQ(device->GetFirmwareVersion(), "1.2");
    EXPECT_EQ(device->GetIconURL(), "file:///icon.icns");
    EXPECT_EQ(device->GetConfigurationApplicationBundleID(), "local.pelio.settings");
    EXPECT_TRUE(device->GetCanBeDefaultDevice());
    EXPECT_FALSE(device->GetCanBeDefaultSystemDevice());
    EXPECT_EQ(device->GetNominalSampleRate(), 48000.0);
    EXPECT_EQ(device->GetZeroTimeStampPeriod(), 48000u);
    EXPECT_EQ(device->GetLatency(), 32u);
    EXPECT_EQ(device->GetSafetyOffset(), 16u);
    EXPECT_FALSE(device->GetClockIsStable());
    EXPECT_EQ(device->GetClockAlgorithm(), UInt32{'raww'});
    EXPECT_EQ(device->GetClockDomain(), 7u);
}

TEST_F(DeviceTest, GeneratedDeviceUIDsCarryTheModelUIDAndDifferPerDevice)
{
    const auto first = MakeDevice();
    const auto second = MakeDevice();

    const std::regex generated("virtual-audio:[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}");
    EXPECT_TRUE(std::regex_match(first->GetDeviceUID(), generated)) << first->GetDeviceUID();
    EXPECT_TRUE(std::regex_match(second->GetDeviceUID(), generated)) << second->GetDeviceUID();
    EXPECT_NE(first->GetDeviceUID(), second->GetDeviceUID());
    // Fixed for life: asking again generates nothing new.
    EXPECT_EQ(first->GetDeviceUID(), first->GetDeviceUID());
}

TEST_F(DeviceTest, ZeroTimeStampPeriodFallsBackOnTheSampleRate)
{
    struct Case
    {
        UInt32 sampleRate;
        UInt32 period;
        UInt32 expected;
    };
    for (const Case& c : {Case{48000, 512, 512}, Case{48000, 0, 48000}, Case{96000, 0, 96000}}) {
        hal::DeviceParameters parameters;
        parameters.SampleRate = c.sampleRate;
        parameters.ZeroTimeStampPeriod = c.period;
        EXPECT_EQ(MakeDevice(parameters)->GetZeroTimeStampPeriod(), c.expected)
            << "rate " << c.sampleRate << " period " << c.period;
    }
}

TEST_F(DeviceTest, IsADeviceAndAnAudioObjectAndNothingElse)
{
    const auto device = MakeDevice();
    EXPECT_EQ(device->GetClass(), kAudioDeviceClassID);
    EXPECT_EQ(device->GetBaseClass(), kAudioObjectClassID);
    EXPECT_TRUE(device->IsInstance(kAudioDeviceClassID));
    EXPECT_TRUE(device->IsInstance(kAudioObjectClassID));
    EXPECT_FALSE(device->IsInstance(kAudioStreamClassID));
    EXPECT_FALSE(device->IsInstance(kAudioPlugInClassID));
    EXPECT_FALSE(device->IsInstance(0));
}

// ---- Preferred channels: count, list and layout derive from each other ------------------------

TEST_F(DeviceTest, PreferredChannelsDeriveFromWhatWasStored)
{
    const std::vector<AudioChannelDescription> five = {Channel(3), Channel(4), Channel(5), Channel(6), Channel(7)};
    struct Case
    {
        const char* description;
        std::function<void(StoreAccessDevice&)> store;
        UInt32 expectedCount;
        std::vector<UInt32> expectedLabels;
        std::size_t expectedLayoutSize;
    };
    const Case cases[] = {
        {"nothing stored: ChannelCount channels labelled from 1", [](StoreAccessDevice&) {}, 2, {1, 2}, 52},
        {"a count", [](StoreAccessDevice& d) { d.SetPreferredChannelCountImpl(4); }, 4, {1, 2, 3, 4}, 92},
        {"a list of three",
         [](StoreAccessDevice& d) { d.SetPreferredChannelsImpl({Channel(9), Channel(8), Channel(7)}); }, 3,
         {9, 8, 7}, 72},
        {"an empty list: no channels, the count falls back on ChannelCount",
         [](StoreAccessDevice& d) { d.SetPreferredChannelsImpl({}); }, 2, {}, 12},
        {"a layout that lists five descriptions",
         [&](StoreAccessDevice& d) { d.SetPreferredChannelLayoutImpl(Layout(0, five)); }, 5, {3, 4, 5, 6, 7},
         112},
        {"a layout with a tag of its own lists nothing",
         [](StoreAccessDevice& d) { d.SetPreferredChannelLayoutImpl(Layout(kAudioChannelLayoutTag_Stereo, {})); },
         2, {1, 2}, 12},
        {"a layout claiming more descriptions than its bytes hold is not read",
         [&](StoreAccessDevice& d) { d.SetPreferredChannelLayoutImpl(Layout(0, {Channel(3)}, 5000)); }, 2,
         {1, 2}, 32},
        {"a layout shorter than its header is not read",
         [](StoreAccessDevice& d) { d.SetPreferredChannelLayoutImpl({0, 0, 0, 0}); }, 2, {1, 2}, 4},
        {"an empty layout is reported as stored", [](StoreAccessDevice& d) { d.SetPreferredChannelLayoutImpl({}); },
         2, {1, 2}, 0},
        {"the count wins over a list and a layout",
         [&](StoreAccessDevice& d) {
             d.SetPreferredChannelLayoutImpl(Layout(0, five));
             d.SetPreferredChannelsImpl({Channel(9)});
             d.SetPreferredChannelCountImpl(3);
         },
         3, {9}, 112},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        const auto device = MakeDevice<StoreAccessDevice>();
        c.store(*device);
        EXPECT_EQ(device->GetPreferredChannelCount(), c.expectedCount);
        EXPECT_EQ(LabelsOf(device->GetPreferredChannels()), c.expectedLabels);
        EXPECT_EQ(device->GetPreferredChannelLayout().size(), c.expectedLayoutSize);
    }
}

TEST_F(DeviceTest, DerivedLayoutIsTheVariableLengthImageOfTheChannels)
{
    const auto device = MakeDevice();
    const std::vector<UInt8> layout = device->GetPreferredChannelLayout();

    ASSERT_EQ(layout.size(), 52u);
    EXPECT_EQ(WordAt(layout, 0), UInt32{kAudioChannelLayoutTag_UseChannelDescriptions});
    EXPECT_EQ(WordAt(layout, 4), 0u); // bitmap
    EXPECT_EQ(WordAt(layout, 8), 2u);
    // Each description: label, then flags and three coordinates, all zero.
    const std::vector<UInt32> expectedWords = {1, 0, 0, 0, 0, 2, 0, 0, 0, 0};
    for (std::size_t index = 0; index < expectedWords.size(); ++index) {
        EXPECT_EQ(WordAt(layout, 12 + 4 * index), expectedWords[index]) << "word " << index;
    }
    // Listed descriptions come out exactly as they were stored.
    const auto stored = MakeDevice<StoreAccessDevice>();
    stored->SetPreferredChannelsImpl({Channel(5, 0.5f), Channel(6, -0.25f)});
    EXPECT_EQ(stored->GetPreferredChannelLayout(), Layout(0, {Channel(5, 0.5f), Channel(6, -0.25f)}));
}

TEST_F(DeviceTest, DerivationsGoThroughTheVirtualGetters)
{
    const auto device = MakeDevice<SixChannelDevice>();
    EXPECT_EQ(LabelsOf(device->GetPreferredChannels()), (std::vector<UInt32>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(device->GetPreferredChannelLayout().size(), 12u + 6 * 20);
}

// ---- Sample rates ------------------------------------------------------------------------------

TEST_F(DeviceTest, NominalSampleRateIsCheckedAgainstTheAvailableRanges)
{
    constexpr Float64 kNaN = std::numeric_limits<Float64>::quiet_NaN();
    constexpr Float64 kInfinity = std::numeric_limits<Float64>::infinity();
    constexpr OSStatus kRefused = kAudioHardwareUnsupportedOperationError;
    struct Case
    {
        const char* description;
        std::optional<std::vector<AudioValueRange>> ranges; // nothing: never set
        std::vector<std::pair<Float64, OSStatus>> rates;
    };
    const Case cases[] = {
        {"never set: only the nominal rate", std::nullopt,
         {{44100.0, 0}, {48000.0, kRefused}, {44099.999, kRefused}, {kNaN, kRefused}}},
        {"several ranges, bounds included",
         std::vector<AudioValueRange>{{44100.0, 48000.0}, {96000.0, 96000.0}},
         {{44100.0, 0}, {46000.0, 0}, {48000.0, 0}, {96000.0, 0}, {50000.0, kRefused}, {kNaN, kRefused}}},
        // The empty list admits every rate, but not values that would break the clock.
        {"empty", std::vector<AudioValueRange>{},
         {{8000.0, 0}, {192000.5, 0}, {kNaN, kRefused}, {kInfinity, kRefused}, {0.0, kRefused}, {-48000.0, kRefused}}},
        {"a range that admits zero and below still refuses them",
         std::vector<AudioValueRange>{{-kInfinity, kInfinity}}, {{1.0, 0}, {0.0, kRefused}, {-1.0, kRefused}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        const auto device = MakeDevice<StoreAccessDevice>();
        if (c.ranges.has_value()) {
            device->SetAvailableSampleRatesImpl(*c.ranges);
        }
        for (const auto& [rate, expected] : c.rates) {
            EXPECT_EQ(device->CheckNominalSampleRate(rate), expected) << "rate " << rate;
        }
    }
}

TEST_F(DeviceTest, AvailableSampleRatesDefaultToTheNominalRateUntilStored)
{
    const auto device = MakeDevice<StoreAccessDevice>();
    const auto ranges = device->GetAvailableSampleRates();
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].mMinimum, 44100.0);
    EXPECT_EQ(ranges[0].mMaximum, 44100.0);

    device->SetAvailableSampleRatesImpl({});
    EXPECT_TRUE(device->GetAvailableSampleRates().empty());
}

TEST_F(DeviceTest, RefusedRateIsTraced)
{
    const auto device = MakeDevice();
    EXPECT_EQ(device->CheckNominalSampleRate(48000.0), kAudioHardwareUnsupportedOperationError);
    EXPECT_TRUE(Traced("rate 48000.000000 is not supported"));
}

// ---- Owned streams and controls ----------------------------------------------------------------

class FakeMember : public hal::Object
{
public:
    FakeMember(std::shared_ptr<const hal::Context> context, AudioClassID classID)
        : Object(std::move(context), "FakeMember")
        , mClassID(classID)
    {
    }
    AudioClassID GetClass() const override { return mClassID; }
    bool IsInstance(AudioClassID classID) const override
    {
        const bool isControl = mClassID != kAudioStreamClassID;
        return classID == mClassID || classID == kAudioObjectClassID || (isControl && classID == kAudioControlClassID);
    }

private:
    AudioClassID mClassID;
};

TEST_F(DeviceTest, StreamAndControlIDsFilterTheOwnedObjectsByClassAndScope)
{
    const auto device = MakeDevice();
    const auto output = hal::MakeObject<FakeMember>(context, kAudioStreamClassID);
    const auto input = hal::MakeObject<FakeMember>(context, kAudioStreamClassID);
    const auto volume = hal::MakeObject<FakeMember>(context, kAudioVolumeControlClassID);
    device->AddOwnedObject(output, kAudioObjectPropertyScopeOutput);
    device->AddOwnedObject(input, kAudioObjectPropertyScopeInput);
    device->AddOwnedObject(volume, kAudioObjectPropertyScopeOutput);

    // 'inpt' sorts before 'outp'.
    EXPECT_EQ(device->GetStreamIDs(kAudioObjectPropertyScopeGlobal),
              (std::vector<AudioObjectID>{input->GetID(), output->GetID()}));
    EXPECT_EQ(device->GetStreamIDs(kAudioObjectPropertyScopeOutput), std::vector<AudioObjectID>{output->GetID()});
    EXPECT_EQ(device->GetControlIDs(kAudioObjectPropertyScopeGlobal), std::vector<AudioObjectID>{volume->GetID()});
    EXPECT_TRUE(device->GetControlIDs(kAudioObjectPropertyScopeInput).empty());
}

// ---- Handlers ----------------------------------------------------------------------------------

class BothHandlers : public hal::ControlRequestHandler, public hal::IORequestHandler
{
public:
    OSStatus OnStartIO() override { return 'fail'; }
};

TEST_F(DeviceTest, HandlerSlotsAreNeverEmpty)
{
    const auto device = MakeDevice();
    ASSERT_NE(device->GetControlHandler(), nullptr);
    ASSERT_NE(device->GetIOHandler(), nullptr);
    EXPECT_EQ(device->GetControlHandler()->OnStartIO(), 0);

    const auto handler = std::make_shared<BothHandlers>();
    device->SetControlHandler(handler);
    device->SetIOHandler(handler);
    // One object in both roles.
    EXPECT_EQ(dynamic_cast<BothHandlers*>(device->GetControlHandler()), handler.get());
    EXPECT_EQ(dynamic_cast<BothHandlers*>(device->GetIOHandler()), handler.get());

    device->SetControlHandler(static_cast<hal::ControlRequestHandler*>(nullptr));
    device->SetIOHandler(std::shared_ptr<hal::IORequestHandler>());
    ASSERT_NE(device->GetControlHandler(), nullptr);
    ASSERT_NE(device->GetIOHandler(), nullptr);
    EXPECT_EQ(dynamic_cast<BothHandlers*>(device->GetControlHandler()), nullptr);
    EXPECT_EQ(dynamic_cast<BothHandlers*>(device->GetIOHandler()), nullptr);
}

TEST_F(DeviceTest, SharedHandlersAreCoOwnedAndPlainOnesAreNot)
{
    const auto device = MakeDevice();
    auto shared = std::make_shared<BothHandlers>();
    const std::weak_ptr<BothHandlers> watch = shared;
    device->SetControlHandler(std::shared_ptr<hal::ControlRequestHandler>(shared));
    shared.reset();
    ASSERT_FALSE(watch.expired());
    EXPECT_EQ(device->GetControlHandler()->OnStartIO(), OSStatus{'fail'});

    // Replacing it releases the device's reference.
    BothHandlers plain;
    device->SetControlHandler(static_cast<hal::ControlRequestHandler*>(&plain));
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(device->GetControlHandler(), static_cast<hal::ControlRequestHandler*>(&plain));
    device->SetControlHandler(std::shared_ptr<hal::ControlRequestHandler>()); // before `plain` goes
}

TEST(IORequestHandlerTest, DefaultInputIsSilenceOfExactlyTheRequestedSize)
{
    hal::IORequestHandler handler;
    std::vector<UInt8> buffer(16, 0xAA);
    handler.OnReadClientInput(nullptr, nullptr, 0.0, 512.0, buffer.data(), 12);
    EXPECT_EQ(buffer, (std::vector<UInt8>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xAA, 0xAA, 0xAA, 0xAA}));
}

} // namespace
