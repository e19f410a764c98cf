// hal::Device: construction, class identity, getters and their derived defaults, value stores,
// the sample-rate check and the handler slots. The configuration-change protocol and the setters
// live in DeviceConfiguration.cpp, streams and controls in DeviceMembers.cpp, clients, IO and the
// clock in DeviceIO.cpp.

#include "hal/Device.h"

#include "hal/Context.h"
#include "hal/Convert.h"
#include "hal/MuteControl.h"
#include "hal/Stream.h"
#include "hal/Tracer.h"
#include "hal/VolumeControl.h"

#include <cmath>
#include <cstring>
#include <utility>

namespace hal {

namespace {

// Byte layout of an AudioChannelLayout in its variable-length form: a 12-byte header (tag,
// bitmap, number of descriptions) followed by that many 20-byte descriptions.
constexpr std::size_t kLayoutHeaderSize = offsetof(AudioChannelLayout, mChannelDescriptions);
constexpr std::size_t kLayoutTagOffset = offsetof(AudioChannelLayout, mChannelLayoutTag);
constexpr std::size_t kLayoutCountOffset = offsetof(AudioChannelLayout, mNumberChannelDescriptions);
static_assert(kLayoutHeaderSize == 12 && kLayoutCountOffset == 8 && sizeof(AudioChannelDescription) == 20,
              "stored layouts are the platform's byte image");

UInt32 ReadLayoutWord(const std::vector<UInt8>& layout, std::size_t offset) noexcept HAL_NONBLOCKING
{
    // The bytes carry no alignment guarantee for a UInt32.
    UInt32 word = 0;
    std::memcpy(&word, layout.data() + offset, sizeof(word));
    return word;
}

// The number of descriptions a layout lists when the derivations may use them: its tag says it
// lists descriptions and its bytes hold all of them. Anything else (another tag, bytes too short
// for the header or for the count it claims) lists nothing, and the derivations fall through to
// their next rule rather than read past the stored bytes.
std::optional<UInt32> CountListedDescriptions(const std::vector<UInt8>& layout) noexcept HAL_NONBLOCKING
{
    if (layout.size() < kLayoutHeaderSize
        || ReadLayoutWord(layout, kLayoutTagOffset) != kAudioChannelLayoutTag_UseChannelDescriptions) {
        return std::nullopt;
    }
    const UInt32 count = ReadLayoutWord(layout, kLayoutCountOffset);
    // Divided rather than multiplied: a count near 2^32 must not wrap into something small.
    const std::size_t available = (layout.size() - kLayoutHeaderSize) / sizeof(AudioChannelDescription);
    if (count > available) {
        return std::nullopt;
    }
    return count;
}

std::string BuildDeviceUID(const DeviceParameters& parameters)
{
    if (!parameters.DeviceUID.empty()) {
        return parameters.DeviceUID;
    }
    return parameters.ModelUID + ":" + GenerateUID();
}

} // namespace

bool Device::IsWellFormedLayout(const std::vector<UInt8>& layout) noexcept
{
    if (layout.size() < kLayoutHeaderSize) {
        return false;
    }
    return ReadLayoutWord(layout, kLayoutTagOffset) != kAudioChannelLayoutTag_UseChannelDescriptions
           || CountListedDescriptions(layout).has_value();
}

// ---- Construction ----------------------------------------------------------------------------------

Device::Device(std::shared_ptr<const Context> context, const DeviceParameters& parameters)
    : Object(std::move(context), "Device")
    , mParameters(parameters)
    , mDeviceUID(BuildDeviceUID(mParameters))
    , mCanBeDefaultDevice(mParameters.CanBeDefaultDevice)
    , mCanBeDefaultSystemDevice(mParameters.CanBeDefaultSystemDevice)
    , mLatency(mParameters.Latency)
    , mSafetyOffset(mParameters.SafetyOffset)
    , mZeroTimeStampPeriod(mParameters.ZeroTimeStampPeriod != 0 ? mParameters.ZeroTimeStampPeriod
                                                                : mParameters.SampleRate)
    , mNominalSampleRate(static_cast<Float64>(mParameters.SampleRate))
{
    // A device always has both handlers, so the IO path never meets an empty slot.
    SetControlHandler(std::shared_ptr<ControlRequestHandler>());
    SetIOHandler(std::shared_ptr<IORequestHandler>());
}

Device::~Device() = default;

// ---- Class identity --------------------------------------------------------------------------------

AudioClassID Device::GetClass() const
{
    return kAudioDeviceClassID;
}

AudioClassID Device::GetBaseClass() const
{
    return kAudioObjectClassID;
}

bool Device::IsInstance(AudioClassID classID) const
{
    return classID == kAudioDeviceClassID || classID == kAudioObjectClassID;
}

// ---- Getters ---------------------------------------------------------------------------------------

std::string Device::GetName() const
{
    return mParameters.Name;
}

std::string Device::GetManufacturer() const
{
    return mParameters.Manufacturer;
}

std::string Device::GetDeviceUID() const
{
    return mDeviceUID;
}

std::string Device::GetModelUID() const
{
    return mParameters.ModelUID;
}

std::string Device::GetSerialNumber() const
{
    return mParameters.SerialNumber;
}

std::string Device::GetFirmwareVersion() const
{
    return mParameters.FirmwareVersion;
}

std::string Device::GetIconURL() const
{
    return mParameters.IconURL;
}

std::string Device::GetConfigurationApplicationBundleID() const
{
    return mParameters.ConfigurationApplicationBundleID;
}

UInt32 Device::GetTransportType() const HAL_NONBLOCKING
{
    return kAudioDeviceTransportTypeVirtual;
}

std::vector<AudioObjectID> Device::GetRelatedDeviceIDs() const
{
    return {GetID()};
}

bool Device::GetClockIsStable() const HAL_NONBLOCKING
{
    return mParameters.ClockIsStable;
}

UInt32 Device::GetClockAlgorithm() const HAL_NONBLOCKING
{
    return mParameters.ClockAlgorithm;
}

UInt32 Device::GetClockDomain() const HAL_NONBLOCKING
{
    return mParameters.ClockDomain;
}

UInt32 Device::GetLatency() const HAL_NONBLOCKING
{
    return mLatency.load(std::memory_order_acquire);
}

UInt32 Device::GetSafetyOffset() const HAL_NONBLOCKING
{
    return mSafetyOffset.load(std::memory_order_acquire);
}

UInt32 Device::GetZeroTimeStampPeriod() const HAL_NONBLOCKING
{
    return mZeroTimeStampPeriod.load(std::memory_order_acquire);
}

Float64 Device::GetNominalSampleRate() const HAL_NONBLOCKING
{
    return mNominalSampleRate.load(std::memory_order_acquire);
}

std::vector<AudioValueRange> Device::GetAvailableSampleRates() const
{
    {
        const auto readLock = mAvailableSampleRates.GetReadLock();
        if (readLock.GetValue().has_value()) {
            return *readLock.GetValue();
        }
    }
    const Float64 nominal = GetNominalSampleRate();
    return {AudioValueRange{nominal, nominal}};
}

std::array<UInt32, 2> Device::GetPreferredChannelsForStereo() const HAL_NONBLOCKING
{
    const auto readLock = mPreferredChannelsForStereo.GetReadLock();
    return readLock.GetValue();
}

// Reads the stored values in place rather than through the other getters: GetPreferredChannels
// falls back on this count, so going through it here would recurse.
UInt32 Device::GetPreferredChannelCount() const HAL_NONBLOCKING
{
    {
        const auto readLock = mPreferredChannelCount.GetReadLock();
        if (readLock.GetValue().has_value()) {
            return *readLock.GetValue();
        }
    }
    {
        const auto readLock = mPreferredChannels.GetReadLock();
        const auto& channels = readLock.GetValue();
        if (channels.has_value() && !channels->empty()) {
            return static_cast<UInt32>(channels->size());
        }
    }
    {
        const auto readLock = mPreferredChannelLayout.GetReadLock();
        const auto& layout = readLock.GetValue();
        if (layout.has_value()) {
            if (const auto count = CountListedDescriptions(*layout); count.has_value()) {
                return *count;
            }
        }
    }
    return mParameters.ChannelCount;
}

std::vector<AudioChannelDescription> Device::GetPreferredChannels() const
{
    {
        const auto readLock = mPreferredChannels.GetReadLock();
        if (readLock.GetValue().has_value()) {
            return *readLock.GetValue();
        }
    }
    {
        const auto readLock = mPreferredChannelLayout.GetReadLock();
        const auto& layout = readLock.GetValue();
        if (layout.has_value()) {
            if (const auto count = CountListedDescriptions(*layout); count.has_value()) {
                std::vector<AudioChannelDescription> channels(*count);
                if (*count != 0) {
                    std::memcpy(channels.data(), layout->data() + kLayoutHeaderSize,
                                *count * sizeof(AudioChannelDescription));
                }
                return channels;
            }
        }
    }
    const UInt32 count = GetPreferredChannelCount();
    std::vector<AudioChannelDescription> channels(count, AudioChannelDescription{});
    for (UInt32 index = 0; index < count; ++index) {
        // Labels 1 and 2 are kAudioChannelLabel_Left and kAudioChannelLabel_Right.
        channels[index].mChannelLabel = index + 1;
    }
    return channels;
}

std::vector<UInt8> Device::GetPreferredChannelLayout() const
{
    {
        const auto readLock = mPreferredChannelLayout.GetReadLock();
        if (readLock.GetValue().has_value()) {
            return *readLock.GetValue();
        }
    }
    const std::vector<AudioChannelDescription> channels = GetPreferredChannels();
    std::vector<UInt8> layout(kLayoutHeaderSize + channels.size() * sizeof(AudioChannelDescription), 0);
    const UInt32 tag = kAudioChannelLayoutTag_UseChannelDescriptions;
    const UInt32 count = static_cast<UInt32>(channels.size());
    std::memcpy(layout.data() + kLayoutTagOffset, &tag, sizeof(tag));
    std::memcpy(layout.data() + kLayoutCountOffset, &count, sizeof(count));
    if (!channels.empty()) {
        std::memcpy(layout.data() + kLayoutHeaderSize, channels.data(),
                    channels.size() * sizeof(AudioChannelDescription));
    }
    return layout;
}

bool Device::GetIsRunning() const HAL_NONBLOCKING
{
    return mIOStartCount.load(std::memory_order_acquire) > 0;
}

bool Device::GetIsIdentifying() const HAL_NONBLOCKING
{
    return false;
}

bool Device::GetIsAlive() const HAL_NONBLOCKING
{
    return mIsAlive.load(std::memory_order_acquire);
}

bool Device::GetIsHidden() const HAL_NONBLOCKING
{
    return mIsHidden.load(std::memory_order_acquire);
}

bool Device::GetCanBeDefaultDevice() const HAL_NONBLOCKING
{
    return mCanBeDefaultDevice.load(std::memory_order_acquire);
}

bool Device::GetCanBeDefaultSystemDevice() const HAL_NONBLOCKING
{
    return mCanBeDefaultSystemDevice.load(std::memory_order_acquire);
}

std::vector<AudioObjectID> Device::GetStreamIDs(AudioObjectPropertyScope scope) const
{
    return GetOwnedObjectIDs(scope, kAudioStreamClassID);
}

std::vector<AudioObjectID> Device::GetControlIDs(AudioObjectPropertyScope scope) const
{
    return GetOwnedObjectIDs(scope, kAudioControlClassID);
}

OSStatus Device::CheckNominalSampleRate(Float64 rate) const
{
    // Whatever the ranges admit, a rate that is not a finite positive number would break the
    // clock, which divides by it and converts the result to integer host time.
    bool isAccepted = std::isfinite(rate) && rate > 0.0;
    if (isAccepted) {
        const std::vector<AudioValueRange> ranges = GetAvailableSampleRates();
        isAccepted = ranges.empty();
        for (const AudioValueRange& range : ranges) {
            if (range.mMinimum <= rate && rate <= range.mMaximum) {
                isAccepted = true;
                break;
            }
        }
    }
    if (!isAccepted) {
        GetContext()->Tracer->Message("rate %f is not supported", rate);
        return kAudioHardwareUnsupportedOperationError;
    }
    return 0;
}

// ---- Value stores ----------------------------------------------------------------------------------

OSStatus Device::SetLatencyImpl(UInt32 latency)
{
    mLatency.store(latency, std::memory_order_release);
    return 0;
}

OSStatus Device::SetSafetyOffsetImpl(UInt32 safetyOffset)
{
    mSafetyOffset.store(safetyOffset, std::memory_order_release);
    return 0;
}

OSStatus Device::SetZeroTimeStampPeriodImpl(UInt32 zeroTimeStampPeriod)
{
    mZeroTimeStampPeriod.store(zeroTimeStampPeriod, std::memory_order_release);
    return 0;
}

OSStatus Device::SetNominalSampleRateImpl(Float64 nominalSampleRate)
{
    mNominalSampleRate.store(nominalSampleRate, std::memory_order_release);
    return 0;
}

OSStatus Device::SetAvailableSampleRatesImpl(const std::vector<AudioValueRange>& availableSampleRates)
{
    mAvailableSampleRates.Set(availableSampleRates);
    return 0;
}

OSStatus Device::SetPreferredChannelsForStereoImpl(const std::array<UInt32, 2>& channels)
{
    mPreferredChannelsForStereo.Set(channels);
    return 0;
}

OSStatus Device::SetPreferredChannelCountImpl(UInt32 channelCount)
{
    mPreferredChannelCount.Set(channelCount);
    return 0;
}

OSStatus Device::SetPreferredChannelsImpl(const std::vector<AudioChannelDescription>& channels)
{
    mPreferredChannels.Set(channels);
    return 0;
}

OSStatus Device::SetPreferredChannelLayoutImpl(const std::vector<UInt8>& layout)
{
    mPreferredChannelLayout.Set(layout);
    return 0;
}

OSStatus Device::SetIsIdentifyingImpl(bool /*isIdentifying*/)
{
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus Device::SetIsAliveImpl(bool isAlive)
{
    mIsAlive.store(isAlive, std::memory_order_release);
    return 0;
}

OSStatus Device::SetIsHiddenImpl(bool isHidden)
{
    mIsHidden.store(isHidden, std::memory_order_release);
    return 0;
}

OSStatus Device::SetCanBeDefaultDeviceImpl(bool canBeDefaultDevice)
{
    mCanBeDefaultDevice.store(canBeDefaultDevice, std::memory_order_release);
    return 0;
}

OSStatus Device::SetCanBeDefaultSystemDeviceImpl(bool canBeDefaultSystemDevice)
{
    mCanBeDefaultSystemDevice.store(canBeDefaultSystemDevice, std::memory_order_release);
    return 0;
}

// ---- Handlers --------------------------------------------------------------------------------------

void Device::SetControlHandler(std::shared_ptr<ControlRequestHandler> handler)
{
    if (handler == nullptr) {
        handler = std::make_shared<ControlRequestHandler>();
    }
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    mControlHandler.Set(ControlHandlerSlot{std::in_place_index<0>, std::move(handler)});
}

void Device::SetControlHandler(ControlRequestHandler* handler)
{
    if (handler == nullptr) {
        SetControlHandler(std::shared_ptr<ControlRequestHandler>());
        return;
    }
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    mControlHandler.Set(ControlHandlerSlot{std::in_place_index<1>, handler});
}

void Device::SetIOHandler(std::shared_ptr<IORequestHandler> handler)
{
    if (handler == nullptr) {
        handler = std::make_shared<IORequestHandler>();
    }
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    mIOHandler.Set(IOHandlerSlot{std::in_place_index<0>, std::move(handler)});
}

void Device::SetIOHandler(IORequestHandler* handler)
{
    if (handler == nullptr) {
        SetIOHandler(std::shared_ptr<IORequestHandler>());
        return;
    }
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    mIOHandler.Set(IOHandlerSlot{std::in_place_index<1>, handler});
}

ControlRequestHandler* Device::GetControlHandler() const noexcept HAL_NONBLOCKING
{
    const auto readLock = mControlHandler.GetReadLock();
    return &HandlerIn(readLock.GetValue());
}

IORequestHandler* Device::GetIOHandler() const noexcept HAL_NONBLOCKING
{
    const auto readLock = mIOHandler.GetReadLock();
    return &HandlerIn(readLock.GetValue());
}

} // namespace hal
