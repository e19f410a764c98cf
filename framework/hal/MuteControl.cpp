#include "hal/MuteControl.h"

#include "hal/Context.h"
#include "hal/PropertyProtocol.h"
#include "hal/Tracer.h"

#include <cstddef>
#include <cstring>
#include <utility>

namespace hal {

namespace {

using PropertyProtocol::OutputBuffer;

// The value, the scope and the element all cross the host boundary as one 32-bit word.
constexpr UInt32 kValueSize = sizeof(UInt32);
static_assert(kValueSize == 4);

bool IsOwnSelector(AudioObjectPropertySelector selector) noexcept
{
    return selector == kAudioBooleanControlPropertyValue || selector == kAudioControlPropertyScope
           || selector == kAudioControlPropertyElement;
}

} // namespace

// ---- Construction ----------------------------------------------------------------------------------

MuteControl::MuteControl(std::shared_ptr<const Context> context, const MuteControlParameters& parameters)
    : Object(std::move(context), "MuteControl"), mScope(parameters.Scope)
{
}

MuteControl::~MuteControl() = default;

// ---- Class identity --------------------------------------------------------------------------------

AudioClassID MuteControl::GetClass() const
{
    return kAudioMuteControlClassID;
}

AudioClassID MuteControl::GetBaseClass() const
{
    return kAudioBooleanControlClassID;
}

bool MuteControl::IsInstance(AudioClassID classID) const
{
    return classID == kAudioMuteControlClassID || classID == kAudioBooleanControlClassID
           || classID == kAudioControlClassID || Object::IsInstance(classID);
}

// ---- Values ------------------------------------------------------------------------------------------

AudioObjectPropertyScope MuteControl::GetScope() const HAL_NONBLOCKING
{
    return mScope;
}

AudioObjectPropertyElement MuteControl::GetElement() const HAL_NONBLOCKING
{
    return kAudioObjectPropertyElementMain;
}

bool MuteControl::GetIsMuted() const HAL_NONBLOCKING
{
    return mIsMuted.load(std::memory_order_acquire);
}

void MuteControl::ApplyProcessing(Float32* samples, UInt32 frameCount, UInt32 channelCount) const HAL_NONBLOCKING
{
    // Also for an empty buffer: memset with a null pointer is undefined even for 0 bytes.
    if (samples == nullptr || !GetIsMuted()) {
        return;
    }
    // 64-bit: the product of two 32-bit counts must not wrap. All bytes zero is 0.0f.
    std::memset(samples, 0, std::size_t{frameCount} * channelCount * sizeof(Float32));
}

// ---- Setter ------------------------------------------------------------------------------------------

OSStatus MuteControl::SetIsMuted(bool isMuted)
{
    const std::shared_ptr<const Context> context = GetContext();
    Tracer& tracer = *context->Tracer;
    const Tracer::Operation operation{.Name = "MuteControl::SetIsMuted()", .Flags = 0, .ObjectID = GetID()};
    return PropertyProtocol::RunTraced(tracer, operation, [&]() -> OSStatus {
        const std::lock_guard<std::mutex> lock(mWriteMutex);
        if (GetIsMuted() == isMuted) {
            tracer.Message("value not changed");
            return kAudioHardwareNoError;
        }
        tracer.Message("setting value to %s", isMuted ? "1" : "0");
        if (const OSStatus status = SetIsMutedImpl(isMuted); status != kAudioHardwareNoError) {
            tracer.Message("setter failed");
            return status;
        }
        NotifyPropertiesChanged({kAudioBooleanControlPropertyValue}, GetScope(), GetElement());
        return kAudioHardwareNoError;
    });
}

OSStatus MuteControl::SetIsMutedImpl(bool isMuted)
{
    mIsMuted.store(isMuted, std::memory_order_release);
    return kAudioHardwareNoError;
}

// ---- Property protocol -------------------------------------------------------------------------------

Boolean MuteControl::HasProperty(AudioObjectID inObjectID, pid_t inClientProcessID,
                                 const AudioObjectPropertyAddress* inAddress) const
{
    return RunHasProperty("MuteControl::HasProperty()", inObjectID, inClientProcessID, inAddress, IsOwnSelector,
                          [&] { return Object::HasProperty(inObjectID, inClientProcessID, inAddress); });
}

OSStatus MuteControl::IsPropertySettable(AudioObjectID inObjectID, pid_t inClientProcessID,
                                         const AudioObjectPropertyAddress* inAddress, Boolean* outIsSettable) const
{
    return RunPropertyOperation({.Name = "MuteControl::IsPropertySettable()",
                                 .Flags = Tracer::Operation::ReadOnly,
                                 .ClientPID = inClientProcessID,
                                 .PropertyAddress = inAddress},
                                [&](Tracer& tracer) -> OSStatus {
        if (inObjectID != GetID() || !IsOwnSelector(inAddress->mSelector)) {
            return Object::IsPropertySettable(inObjectID, inClientProcessID, inAddress, outIsSettable);
        }
        if (outIsSettable == nullptr) {
            tracer.Message("output buffer is null");
            return kAudioHardwareNoError;
        }
        const bool isSettable = inAddress->mSelector == kAudioBooleanControlPropertyValue;
        *outIsSettable = isSettable;
        tracer.Message("returning IsSettable=%s", isSettable ? "true" : "false");
        return kAudioHardwareNoError;
    });
}

OSStatus MuteControl::GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientProcessID,
                                          const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                          const void* inQualifierData, UInt32* outDataSize) const
{
    return RunPropertyOperation({.Name = "MuteControl::GetPropertyDataSize()",
                                 .Flags = Tracer::Operation::ReadOnly,
                                 .ClientPID = inClientProcessID,
                                 .PropertyAddress = inAddress,
                                 .QualifierDataSize = inQualifierDataSize,
                                 .QualifierData = inQualifierData,
                                 .OutDataSize = outDataSize},
                                [&](Tracer& tracer) -> OSStatus {
        if (inObjectID != GetID() || !IsOwnSelector(inAddress->mSelector)) {
            return Object::GetPropertyDataSize(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                               inQualifierData, outDataSize);
        }
        if (outDataSize == nullptr) {
            tracer.Message("output buffer is null");
            return kAudioHardwareNoError;
        }
        *outDataSize = kValueSize;
        tracer.Message("returning PropertySize=%u", kValueSize);
        return kAudioHardwareNoError;
    });
}

OSStatus MuteControl::GetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                      const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                      const void* inQualifierData, UInt32 inDataSize, UInt32* outDataSize,
                                      void* outData) const
{
    return RunPropertyOperation({.Name = "MuteControl::GetPropertyData()",
                                 .Flags = Tracer::Operation::ReadOnly,
                                 .ClientPID = inClientProcessID,
                                 .PropertyAddress = inAddress,
                                 .QualifierDataSize = inQualifierDataSize,
                                 .QualifierData = inQualifierData,
                                 .InDataSize = inDataSize,
                                 .OutDataSize = outDataSize,
                                 .OutData = outData},
                                [&](Tracer& tracer) -> OSStatus {
        if (inObjectID != GetID() || !IsOwnSelector(inAddress->mSelector)) {
            return Object::GetPropertyData(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                           inQualifierData, inDataSize, outDataSize, outData);
        }
        switch (PropertyProtocol::CheckOutputBuffer(tracer, kValueSize, inDataSize, outDataSize, outData)) {
        case OutputBuffer::TooSmall:
            return kAudioHardwareBadPropertySizeError;
        case OutputBuffer::Absent:
            return kAudioHardwareNoError;
        case OutputBuffer::Ready:
            break;
        }
        switch (inAddress->mSelector) {
        case kAudioBooleanControlPropertyValue: {
            const UInt32 isMuted = GetIsMuted() ? 1 : 0;
            PropertyProtocol::WriteValue(outData, isMuted);
            tracer.Message("returning IsMuted=%d", static_cast<int>(isMuted));
            break;
        }
        case kAudioControlPropertyScope: {
            const UInt32 scope = GetScope();
            PropertyProtocol::WriteValue(outData, scope);
            tracer.Message("returning Scope=%u", scope);
            break;
        }
        default: {
            const UInt32 element = GetElement();
            PropertyProtocol::WriteValue(outData, element);
            tracer.Message("returning Element=%u", element);
            break;
        }
        }
        return kAudioHardwareNoError;
    });
}

OSStatus MuteControl::SetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                      const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                      const void* inQualifierData, UInt32 inDataSize, const void* inData)
{
    return RunPropertyOperation({.Name = "MuteControl::SetPropertyData()",
                                 .Flags = 0,
                                 .ClientPID = inClientProcessID,
                                 .PropertyAddress = inAddress,
                                 .QualifierDataSize = inQualifierDataSize,
                                 .QualifierData = inQualifierData,
                                 .InDataSize = inDataSize,
                                 .InData = inData},
                                [&](Tracer& tracer) -> OSStatus {
        // Scope and element go to the base too, which does not know them.
        if (inObjectID != GetID() || inAddress->mSelector != kAudioBooleanControlPropertyValue) {
            return Object::SetPropertyData(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                           inQualifierData, inDataSize, inData);
        }
        if (const OSStatus status = PropertyProtocol::CheckInputBuffer(tracer, kValueSize, inDataSize, inData);
            status != kAudioHardwareNoError) {
            return status;
        }
        const bool isMuted = PropertyProtocol::ReadValue<UInt32>(inData) != 0;
        tracer.Message("setting IsMuted=%s", isMuted ? "1" : "0");
        const OSStatus status = SetIsMuted(isMuted);
        if (status != kAudioHardwareNoError) {
            tracer.Message("setter failed");
        }
        return status;
    });
}

} // namespace hal
