// hal::Stream: construction, getters, the property protocol, the setters with their routing
// through the owning device's configuration changes, and the processing of attached controls.

#include "hal/Stream.h"

#include "hal/Context.h"
#include "hal/Convert.h"
#include "hal/Device.h"
#include "hal/MuteControl.h"
#include "hal/PropertyProtocol.h"
#include "hal/Tracer.h"
#include "hal/VolumeControl.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <string>
#include <utility>

namespace hal {

namespace {

using PropertyProtocol::IsTracing;

// ---- Equality and well-formedness of formats ---------------------------------------------------

// Field by field: mReserved never takes part, and the rate compares as a double.
bool IsSameFormat(const AudioStreamBasicDescription& left, const AudioStreamBasicDescription& right) noexcept
{
    return left.mSampleRate == right.mSampleRate && left.mFormatID == right.mFormatID
           && left.mFormatFlags == right.mFormatFlags && left.mBitsPerChannel == right.mBitsPerChannel
           && left.mChannelsPerFrame == right.mChannelsPerFrame && left.mBytesPerFrame == right.mBytesPerFrame
           && left.mFramesPerPacket == right.mFramesPerPacket && left.mBytesPerPacket == right.mBytesPerPacket;
}

bool IsSameValue(UInt32 left, UInt32 right) noexcept
{
    return left == right;
}

bool IsSameValue(const AudioStreamBasicDescription& left, const AudioStreamBasicDescription& right) noexcept
{
    return IsSameFormat(left, right);
}

bool IsSameValue(const std::vector<AudioStreamRangedDescription>& left,
                 const std::vector<AudioStreamRangedDescription>& right) noexcept
{
    return std::equal(left.begin(), left.end(), right.begin(), right.end(),
                      [](const AudioStreamRangedDescription& a, const AudioStreamRangedDescription& b) {
                          return IsSameFormat(a.mFormat, b.mFormat)
                                 && a.mSampleRateRange.mMinimum == b.mSampleRateRange.mMinimum
                                 && a.mSampleRateRange.mMaximum == b.mSampleRateRange.mMaximum;
                      });
}

// Whether `format` can describe audio at all. A host can send anything through SetPropertyData;
// a format that fails here would give the IO path a rate of NaN, no channels, or frames too small
// for the samples that the buffers are processed as, whatever the list of available formats says.
bool DescribesAudio(const AudioStreamBasicDescription& format) noexcept
{
    if (!std::isfinite(format.mSampleRate) || format.mSampleRate <= 0.0 || format.mChannelsPerFrame == 0) {
        return false;
    }
    if (format.mFormatID != kAudioFormatLinearPCM) {
        return true;
    }
    // Linear PCM: one frame per packet, and a frame (one channel's when not interleaved) holds
    // every sample it claims. In 64 bits: the product of two host values must not wrap.
    const UInt64 samplesPerFrame =
        (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0 ? 1 : format.mChannelsPerFrame;
    return format.mFramesPerPacket == 1 && format.mBytesPerFrame != 0
           && format.mBytesPerPacket == format.mBytesPerFrame && format.mBitsPerChannel != 0
           && samplesPerFrame * format.mBitsPerChannel <= 8 * static_cast<UInt64>(format.mBytesPerFrame);
}

AudioStreamRangedDescription OfferedAtItsOwnRate(const AudioStreamBasicDescription& format) noexcept
{
    return AudioStreamRangedDescription{format, AudioValueRange{format.mSampleRate, format.mSampleRate}};
}

// ---- Text of values, for trace messages --------------------------------------------------------

template <class Value>
std::string DescribeValue(const Value& value)
{
    return PropertyProtocol::Describe(value);
}

std::string DescribeValue(const std::vector<AudioStreamRangedDescription>& value)
{
    return Convert::FormatArray(std::span<const AudioStreamRangedDescription>(value));
}

} // namespace

// ---- Construction and identity -------------------------------------------------------------------

Stream::Stream(std::shared_ptr<const Context> context, std::shared_ptr<Device> device,
               const StreamParameters& parameters)
    : Object(std::move(context), "Stream")
    , mParameters(parameters)
    , mDevice(std::move(device))
    , mLatency(parameters.Latency)
    , mPhysicalFormat(parameters.Format)
    , mVirtualFormat(parameters.Format)
{
}

Stream::~Stream() = default;

AudioClassID Stream::GetClass() const
{
    return kAudioStreamClassID;
}

AudioClassID Stream::GetBaseClass() const
{
    return kAudioObjectClassID;
}

bool Stream::IsInstance(AudioClassID classID) const
{
    return classID == kAudioStreamClassID || classID == kAudioObjectClassID;
}

// ---- Getters -------------------------------------------------------------------------------------

bool Stream::GetIsActive() const HAL_NONBLOCKING
{
    return mIsActive.load(std::memory_order_acquire);
}

Direction Stream::GetDirection() const HAL_NONBLOCKING
{
    return mParameters.Direction;
}

UInt32 Stream::GetTerminalType() const HAL_NONBLOCKING
{
    return GetDirection() == Direction::Input ? kAudioStreamTerminalTypeMicrophone
                                              : kAudioStreamTerminalTypeSpeaker;
}

UInt32 Stream::GetStartingChannel() const HAL_NONBLOCKING
{
    return mParameters.StartingChannel;
}

UInt32 Stream::GetLatency() const HAL_NONBLOCKING
{
    return mLatency.load(std::memory_order_acquire);
}

AudioStreamBasicDescription Stream::GetPhysicalFormat() const HAL_NONBLOCKING
{
    const auto readLock = mPhysicalFormat.GetReadLock();
    return readLock.GetValue();
}

std::vector<AudioStreamRangedDescription> Stream::GetAvailablePhysicalFormats() const
{
    FormatList stored = mAvailablePhysicalFormats.Get();
    if (stored.has_value()) {
        return std::move(*stored);
    }
    return {OfferedAtItsOwnRate(GetPhysicalFormat())};
}

AudioStreamBasicDescription Stream::GetVirtualFormat() const HAL_NONBLOCKING
{
    const auto readLock = mVirtualFormat.GetReadLock();
    return readLock.GetValue();
}

std::vector<AudioStreamRangedDescription> Stream::GetAvailableVirtualFormats() const
{
    FormatList stored = mAvailableVirtualFormats.Get();
    if (stored.has_value()) {
        return std::move(*stored);
    }
    return {OfferedAtItsOwnRate(GetVirtualFormat())};
}

UInt32 Stream::GetChannelCount() const HAL_NONBLOCKING
{
    return GetPhysicalFormat().mChannelsPerFrame;
}

Float64 Stream::GetSampleRate() const HAL_NONBLOCKING
{
    return GetPhysicalFormat().mSampleRate;
}

UInt32 Stream::ConvertFramesToBytes(UInt32 frames) const HAL_NONBLOCKING
{
    return frames * GetPhysicalFormat().mBytesPerFrame;
}

UInt32 Stream::ConvertBytesToFrames(UInt32 bytes) const HAL_NONBLOCKING
{
    const UInt32 bytesPerFrame = GetPhysicalFormat().mBytesPerFrame;
    return bytesPerFrame == 0 ? 0 : bytes / bytesPerFrame;
}

// ---- Value stores ----------------------------------------------------------------------------------

OSStatus Stream::SetIsActiveImpl(bool isActive)
{
    mIsActive.store(isActive, std::memory_order_release);
    return 0;
}

OSStatus Stream::SetLatencyImpl(UInt32 latency)
{
    mLatency.store(latency, std::memory_order_release);
    return 0;
}

OSStatus Stream::SetPhysicalFormatImpl(const AudioStreamBasicDescription& format)
{
    mPhysicalFormat.Set(format);
    return 0;
}

OSStatus Stream::SetAvailablePhysicalFormatsImpl(const std::vector<AudioStreamRangedDescription>& formats)
{
    mAvailablePhysicalFormats.Set(FormatList(formats));
    return 0;
}

OSStatus Stream::SetVirtualFormatImpl(const AudioStreamBasicDescription& format)
{
    mVirtualFormat.Set(format);
    return 0;
}

OSStatus Stream::SetAvailableVirtualFormatsImpl(const std::vector<AudioStreamRangedDescription>& formats)
{
    mAvailableVirtualFormats.Set(FormatList(formats));
    return 0;
}

// ---- Setters -------------------------------------------------------------------------------------

OSStatus Stream::SetIsActive(bool isActive)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    Tracer& tracer = GetTracer();
    const Tracer::Operation operation{.Name = "Stream::SetIsActive()", .ObjectID = GetID()};
    return PropertyProtocol::RunTraced(tracer, operation, [&]() -> OSStatus {
        if (GetIsActive() == isActive) {
            tracer.Message("value not changed");
            return 0;
        }
        tracer.Message("setting value to %s", isActive ? "1" : "0");
        if (const OSStatus status = SetIsActiveImpl(isActive); status != 0) {
            tracer.Message("setter failed");
            return status;
        }
        NotifyPropertiesChanged({kAudioStreamPropertyIsActive}, kAudioObjectPropertyScopeGlobal, 0);
        return 0;
    });
}

template <class Value, class Getter, class Store, class Check>
OSStatus Stream::RequestValueChange(const char* requestName, const char* storeName, Value value, Getter getter,
                                    Store store, Check check)
{
    Tracer& tracer = GetTracer();
    const Tracer::Operation operation{.Name = requestName, .ObjectID = GetID()};
    return PropertyProtocol::RunTraced(tracer, operation, [&]() -> OSStatus {
        {
            const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
            // Compared with the current value, not with one still pending: a request that
            // restores the current value while another is pending is dropped, and that one wins.
            if (IsSameValue(value, getter(*this))) {
                tracer.Message("value not changed");
                return 0;
            }
            if (const OSStatus status = check(*this, value); status != 0) {
                tracer.Message("value is invalid");
                return status;
            }
        }
        // Asked with the stream's mutex released: the device runs the change under its own
        // mutex and then takes the stream's, so holding the stream's while waiting for the
        // device's could deadlock against a perform on the host's thread. The step compares
        // again when it runs, so nothing is lost by letting go in between.
        const std::shared_ptr<Device> device = mDevice.lock();
        if (device == nullptr) {
            // No device will ever run it.
            return 0;
        }
        // The change holds the stream: the device may keep it past the application's last
        // reference. The stream holds its device only weakly, so this forms no cycle.
        const auto self = std::static_pointer_cast<Stream>(shared_from_this());
        // A host that refuses the request never applies the value: the setter says so.
        return device->RequestConfigurationChange([self, storeName, value = std::move(value), getter, store] {
            self->ApplyValueChange(storeName, value, getter, store);
        });
    });
}

template <class Value, class Getter, class Store>
void Stream::ApplyValueChange(const char* storeName, const Value& value, Getter getter, Store store)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    Tracer& tracer = GetTracer();
    const Tracer::Operation operation{.Name = storeName, .ObjectID = GetID()};
    // The requester has long returned: the status reaches the end line only.
    PropertyProtocol::RunTraced(tracer, operation, [&]() -> OSStatus {
        // Another change may have got there first since the request.
        if (IsSameValue(value, getter(*this))) {
            tracer.Message("value not changed");
            return 0;
        }
        if (IsTracing(tracer)) {
            tracer.Message("setting value to %s", DescribeValue(value).c_str());
        }
        return store(*this, value);
    });
}

OSStatus Stream::SetLatencyAsync(UInt32 latency)
{
    return RequestValueChange(
        "Stream::SetLatencyAsync()", "Stream::SetLatencyImpl()", latency,
        [](const Stream& stream) { return stream.GetLatency(); },
        [](Stream& stream, UInt32 value) { return stream.SetLatencyImpl(value); },
        [](const Stream& /*stream*/, UInt32 /*value*/) -> OSStatus { return 0; });
}

OSStatus Stream::SetPhysicalFormatAsync(AudioStreamBasicDescription format)
{
    return RequestValueChange(
        "Stream::SetPhysicalFormatAsync()", "Stream::SetPhysicalFormatImpl()", format,
        [](const Stream& stream) { return stream.GetPhysicalFormat(); },
        [](Stream& stream, const AudioStreamBasicDescription& value) { return stream.SetPhysicalFormatImpl(value); },
        [](const Stream& stream, const AudioStreamBasicDescription& value) {
            return stream.CheckPhysicalFormat(value);
        });
}

OSStatus Stream::SetVirtualFormatAsync(AudioStreamBasicDescription format)
{
    return RequestValueChange(
        "Stream::SetVirtualFormatAsync()", "Stream::SetVirtualFormatImpl()", format,
        [](const Stream& stream) { return stream.GetVirtualFormat(); },
        [](Stream& stream, const AudioStreamBasicDescription& value) { return stream.SetVirtualFormatImpl(value); },
        [](const Stream& stream, const AudioStreamBasicDescription& value) {
            return stream.CheckVirtualFormat(value);
        });
}

OSStatus Stream::SetAvailablePhysicalFormatsAsync(std::vector<AudioStreamRangedDescription> formats)
{
    return RequestValueChange(
        "Stream::SetAvailablePhysicalFormatsAsync()", "Stream::SetAvailablePhysicalFormatsImpl()", std::move(formats),
        [](const Stream& stream) { return stream.GetAvailablePhysicalFormats(); },
        [](Stream& stream, const std::vector<AudioStreamRangedDescription>& value) {
            return stream.SetAvailablePhysicalFormatsImpl(value);
        },
        [](const Stream& /*stream*/, const std::vector<AudioStreamRangedDescription>& /*value*/) -> OSStatus {
            return 0;
        });
}

OSStatus Stream::SetAvailableVirtualFormatsAsync(std::vector<AudioStreamRangedDescription> formats)
{
    return RequestValueChange(
        "Stream::SetAvailableVirtualFormatsAsync()", "Stream::SetAvailableVirtualFormatsImpl()", std::move(formats),
        [](const Stream& stream) { return stream.GetAvailableVirtualFormats(); },
        [](Stream& stream, const std::vector<AudioStreamRangedDescription>& value) {
            return stream.SetAvailableVirtualFormatsImpl(value);
        },
        [](const Stream& /*stream*/, const std::vector<AudioStreamRangedDescription>& /*value*/) -> OSStatus {
            return 0;
        });
}

OSStatus Stream::CheckPhysicalFormat(const AudioStreamBasicDescription& format) const
{
    return CheckFormat(format, GetAvailablePhysicalFormats());
}

OSStatus Stream::CheckVirtualFormat(const AudioStreamBasicDescription& format) const
{
    return CheckFormat(format, GetAvailableVirtualFormats());
}

OSStatus Stream::CheckFormat(const AudioStreamBasicDescription& format,
                             const std::vector<AudioStreamRangedDescription>& available) const
{
    Tracer& tracer = GetTracer();
    // Before the list: an empty list accepts any format, but never one that describes no audio.
    if (!DescribesAudio(format)) {
        tracer.Message("format is malformed");
        return kAudioDeviceUnsupportedFormatError;
    }
    // The entry's rate range is not consulted: the rate must equal the entry's own.
    const bool isOffered =
        available.empty() || std::any_of(available.begin(), available.end(), [&](const auto& entry) {
            return IsSameFormat(entry.mFormat, format);
        });
    if (!isOffered) {
        tracer.Message("format is not supported");
        return kAudioDeviceUnsupportedFormatError;
    }
    return 0;
}

// ---- Controls and processing ---------------------------------------------------------------------

void Stream::AttachVolumeControl(std::shared_ptr<VolumeControl> volumeControl)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    mVolumeControl.Set(std::move(volumeControl));
}

void Stream::AttachMuteControl(std::shared_ptr<MuteControl> muteControl)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    mMuteControl.Set(std::move(muteControl));
}

namespace {

// Under the stream's write mutex, so that no attach slips in between the test and the detach.
template <class Control>
void DetachIfAttached(DoubleBuffer<std::shared_ptr<Control>>& slot, const Control& control)
{
    bool isAttached = false;
    {
        // Released before the Set below, which waits for readers of the value it replaces.
        const auto readLock = slot.GetReadLock();
        isAttached = readLock.GetValue().get() == &control;
    }
    if (isAttached) {
        slot.Set(nullptr);
    }
}

} // namespace

void Stream::DetachVolumeControl(const VolumeControl& volumeControl)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    DetachIfAttached(mVolumeControl, volumeControl);
}

void Stream::DetachMuteControl(const MuteControl& muteControl)
{
    const std::lock_guard<std::recursive_mutex> writeLock(mWriteMutex);
    DetachIfAttached(mMuteControl, muteControl);
}

void Stream::ApplyProcessing(Float32* samples, UInt32 frameCount, UInt32 channelCount) const HAL_NONBLOCKING
{
    // Each control is used under the read lock of its holder rather than through a copied shared
    // reference: the holder's reference keeps it alive for the call, and a detach waits for the
    // call to end and releases the control on its own thread. A copy made here could turn out to
    // be the last reference and destroy the control on the IO thread.
    {
        const auto readLock = mVolumeControl.GetReadLock();
        if (const auto& volumeControl = readLock.GetValue(); volumeControl != nullptr) {
            volumeControl->ApplyProcessing(samples, frameCount, channelCount);
        }
    }
    // After the volume, so that a muted buffer is silent whatever the volume did to it.
    {
        const auto readLock = mMuteControl.GetReadLock();
        if (const auto& muteControl = readLock.GetValue(); muteControl != nullptr) {
            muteControl->ApplyProcessing(samples, frameCount, channelCount);
        }
    }
}

// ---- Property protocol ---------------------------------------------------------------------------

namespace {

using PropertyProtocol::List;
using PropertyProtocol::Value;

// Scope and element of the address are not looked at. The formats are set through the device's
// configuration changes; the active flag at once.
constexpr auto kProperties = PropertyProtocol::MakeTable<Stream>({
    {kAudioStreamPropertyIsActive,                 "IsActive",        Value<&Stream::GetIsActive, &Stream::SetIsActive>},
    {kAudioStreamPropertyDirection,                "Direction",       Value<&Stream::GetDirection>},
    {kAudioStreamPropertyTerminalType,             "TerminalType",    Value<&Stream::GetTerminalType>},
    {kAudioStreamPropertyStartingChannel,          "StartingChannel", Value<&Stream::GetStartingChannel>},
    {kAudioStreamPropertyLatency,                  "Latency",         Value<&Stream::GetLatency>},
    {kAudioStreamPropertyVirtualFormat,            "VirtualFormat",
     Value<&Stream::GetVirtualFormat, &Stream::SetVirtualFormatAsync>},
    {kAudioStreamPropertyAvailableVirtualFormats,  "AvailableVirtualFormats",  List<&Stream::GetAvailableVirtualFormats>},
    {kAudioStreamPropertyPhysicalFormat,           "PhysicalFormat",
     Value<&Stream::GetPhysicalFormat, &Stream::SetPhysicalFormatAsync>},
    {kAudioStreamPropertyAvailablePhysicalFormats, "AvailablePhysicalFormats", List<&Stream::GetAvailablePhysicalFormats>},
});

} // namespace

bool Stream::IsBuiltInProperty(AudioObjectPropertySelector selector) const
{
    return kProperties.Find(selector) != nullptr || Object::IsBuiltInProperty(selector);
}

Boolean Stream::HasProperty(AudioObjectID inObjectID, pid_t inClientProcessID,
                            const AudioObjectPropertyAddress* inAddress) const
{
    return AnswerHasProperty("Stream::HasProperty()", kProperties, inObjectID, inClientProcessID, inAddress,
                             [&] { return Object::HasProperty(inObjectID, inClientProcessID, inAddress); });
}

OSStatus Stream::IsPropertySettable(AudioObjectID inObjectID, pid_t inClientProcessID,
                                    const AudioObjectPropertyAddress* inAddress, Boolean* outIsSettable) const
{
    return AnswerIsPropertySettable(
        "Stream::IsPropertySettable()", kProperties, inObjectID, inClientProcessID, inAddress, outIsSettable,
        [&] { return Object::IsPropertySettable(inObjectID, inClientProcessID, inAddress, outIsSettable); });
}

OSStatus Stream::GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientProcessID,
                                     const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                     const void* inQualifierData, UInt32* outDataSize) const
{
    return AnswerGetPropertyDataSize("Stream::GetPropertyDataSize()", kProperties, inObjectID, inClientProcessID,
                                     inAddress, inQualifierDataSize, inQualifierData, outDataSize, [&] {
        return Object::GetPropertyDataSize(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                           inQualifierData, outDataSize);
    });
}

OSStatus Stream::GetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                 const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                 const void* inQualifierData, UInt32 inDataSize, UInt32* outDataSize,
                                 void* outData) const
{
    return AnswerGetPropertyData("Stream::GetPropertyData()", kProperties, inObjectID, inClientProcessID, inAddress,
                                 inQualifierDataSize, inQualifierData, inDataSize, outDataSize, outData, [&] {
        return Object::GetPropertyData(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                       inQualifierData, inDataSize, outDataSize, outData);
    });
}

OSStatus Stream::SetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                 const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                 const void* inQualifierData, UInt32 inDataSize, const void* inData)
{
    return AnswerSetPropertyData("Stream::SetPropertyData()", kProperties, inObjectID, inClientProcessID, inAddress,
                                 inQualifierDataSize, inQualifierData, inDataSize, inData, [&] {
        return Object::SetPropertyData(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                       inQualifierData, inDataSize, inData);
    });
}

} // namespace hal
