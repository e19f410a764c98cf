#include "IOPlan.h"

#include "Device.h"
#include "PlugIn.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace pelio::host {

namespace {

constexpr UInt32 kMaxStreamChannels = 64;
// The largest physical sample the server makes room for: 64-bit.
constexpr UInt32 kMaxBytesPerSample = 8;

constexpr AudioObjectPropertyAddress Address(AudioObjectPropertySelector selector,
                                             AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal)
{
    return {selector, scope, kAudioObjectPropertyElementMain};
}

std::size_t IndexOf(UInt32 operationID)
{
    const auto found = std::find(kIOOperations.begin(), kIOOperations.end(), operationID);
    return static_cast<std::size_t>(found - kIOOperations.begin());
}

bool ReadFormat(const PlugIn& plugIn, AudioObjectID streamID, AudioObjectPropertySelector selector,
                AudioStreamBasicDescription& format)
{
    std::vector<UInt8> bytes;
    if (!plugIn.ReadBytes(streamID, Address(selector), bytes) || bytes.size() != sizeof(format)) {
        return false;
    }
    std::memcpy(&format, bytes.data(), sizeof(format));
    return true;
}

// The format the server mixes in: interleaved native-endian 32-bit float.
bool IsCanonical(const AudioStreamBasicDescription& format)
{
    const AudioFormatFlags kept = kAudioFormatFlagIsFloat | kAudioFormatFlagIsBigEndian | kAudioFormatFlagIsNonInterleaved;
    return format.mFormatID == kAudioFormatLinearPCM && (format.mFormatFlags & kept) == kAudioFormatFlagIsFloat
        && format.mBitsPerChannel == 32 && format.mChannelsPerFrame >= 1 && format.mChannelsPerFrame <= kMaxStreamChannels
        && format.mBytesPerFrame == 4 * format.mChannelsPerFrame;
}

bool SameLayout(const AudioStreamBasicDescription& one, const AudioStreamBasicDescription& other)
{
    return one.mFormatID == other.mFormatID && one.mFormatFlags == other.mFormatFlags
        && one.mBitsPerChannel == other.mBitsPerChannel && one.mChannelsPerFrame == other.mChannelsPerFrame
        && one.mBytesPerFrame == other.mBytesPerFrame;
}

// Reads the active streams of one direction; false with the reason for a stream the server
// cannot run.
bool ReadStreams(const PlugIn& plugIn, const std::vector<AudioObjectID>& streamIDs, bool deviceConverts,
                 std::vector<StreamIO>& streams, std::string& whyNot)
{
    for (const AudioObjectID streamID : streamIDs) {
        UInt32 active = 1;
        plugIn.ReadUInt32(streamID, Address(kAudioStreamPropertyIsActive), active);
        if (active == 0) {
            continue;
        }
        AudioStreamBasicDescription virtualFormat{};
        if (!ReadFormat(plugIn, streamID, kAudioStreamPropertyVirtualFormat, virtualFormat)
            || !IsCanonical(virtualFormat)) {
            whyNot = "stream " + std::to_string(streamID) + " has no interleaved 32-bit float virtual format";
            return false;
        }
        AudioStreamBasicDescription physicalFormat = virtualFormat;
        ReadFormat(plugIn, streamID, kAudioStreamPropertyPhysicalFormat, physicalFormat);
        if (physicalFormat.mBytesPerFrame == 0
            || physicalFormat.mBytesPerFrame > kMaxBytesPerSample * virtualFormat.mChannelsPerFrame) {
            whyNot = "stream " + std::to_string(streamID) + " has a physical format of an unusable frame size";
            return false;
        }
        if (!deviceConverts && !SameLayout(physicalFormat, virtualFormat)) {
            whyNot = "stream " + std::to_string(streamID)
                + " has a physical format other than its virtual one, and the device does not convert";
            return false;
        }
        UInt32 firstChannel = 1;
        plugIn.ReadUInt32(streamID, Address(kAudioStreamPropertyStartingChannel), firstChannel);
        streams.push_back({streamID, virtualFormat.mChannelsPerFrame, std::max<UInt32>(firstChannel, 1),
                           physicalFormat.mBytesPerFrame});
    }
    return true;
}

} // namespace

const IOOperationAnswer& IOOperationSet::Get(UInt32 operationID) const noexcept
{
    // The last entry stays "not done": it answers for every operation the list does not know.
    return mAnswers[IndexOf(operationID)];
}

void IOOperationSet::Set(UInt32 operationID, IOOperationAnswer answer) noexcept
{
    const std::size_t index = IndexOf(operationID);
    if (index < kIOOperations.size()) {
        mAnswers[index] = answer;
    }
}

IOOperationSet AskIOOperations(const PlugIn& plugIn, AudioObjectID deviceID, UInt32 clientID)
{
    IOOperationSet answers;
    for (const UInt32 operationID : kIOOperations) {
        Boolean willDo = false;
        Boolean inPlace = true;
        if (plugIn.WillDoIOOperation(deviceID, clientID, operationID, willDo, inPlace) == kAudioHardwareNoError) {
            answers.Set(operationID, {willDo != 0, inPlace != 0});
        }
    }
    return answers;
}

bool ReadIOPlan(const PlugIn& plugIn, AudioObjectID deviceID, const DeviceDescription& description,
                UInt32 bufferFrames, const IOOperationSet& deviceOperations, IOPlan& plan, OSStatus& status,
                std::string& whyNot)
{
    IOPlan read;
    read.driver = plugIn.GetDriver();
    read.deviceID = deviceID;
    read.bufferFrames = bufferFrames;
    read.deviceOperations = deviceOperations;

    std::vector<UInt8> rate;
    if (!plugIn.ReadBytes(deviceID, Address(kAudioDevicePropertyNominalSampleRate), rate)
        || rate.size() != sizeof(Float64)) {
        status = kAudioHardwareUnspecifiedError;
        whyNot = "its nominal sample rate cannot be read";
        return false;
    }
    std::memcpy(&read.nominalSampleRate, rate.data(), sizeof(Float64));
    if (!(read.nominalSampleRate >= 1.0 && read.nominalSampleRate <= 1.0e7)) {
        status = kAudioDeviceUnsupportedFormatError;
        whyNot = "its nominal sample rate is not one the server can run";
        return false;
    }
    if (!plugIn.ReadUInt32(deviceID, Address(kAudioDevicePropertyZeroTimeStampPeriod), read.zeroTimeStampPeriod)
        || read.zeroTimeStampPeriod == 0) {
        status = kAudioHardwareUnspecifiedError;
        whyNot = "it has no zero time stamp period";
        return false;
    }
    plugIn.ReadUInt32(deviceID, Address(kAudioDevicePropertySafetyOffset, kAudioObjectPropertyScopeInput),
                      read.inputSafetyOffset);
    plugIn.ReadUInt32(deviceID, Address(kAudioDevicePropertySafetyOffset, kAudioObjectPropertyScopeOutput),
                      read.outputSafetyOffset);

    if (!ReadStreams(plugIn, description.inputStreams,
                     deviceOperations.Get(kAudioServerPlugInIOOperationConvertInput).willDo, read.inputStreams, whyNot)
        || !ReadStreams(plugIn, description.outputStreams,
                        deviceOperations.Get(kAudioServerPlugInIOOperationConvertMix).willDo, read.outputStreams,
                        whyNot)) {
        status = kAudioDeviceUnsupportedFormatError;
        return false;
    }
    if (read.inputStreams.empty() && read.outputStreams.empty()) {
        status = kAudioHardwareIllegalOperationError;
        whyNot = "it has no active stream";
        return false;
    }
    plan = std::move(read);
    return true;
}

} // namespace pelio::host
