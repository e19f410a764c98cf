#include "hal/MuteControl.h"

#include "hal/Context.h"
#include "hal/PropertyProtocol.h"
#include "hal/Tracer.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <utility>

namespace hal {

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

namespace {

using PropertyProtocol::Value;

// Scope and element of the address are not looked at. The value mutes when the host's word is not 0.
constexpr auto kProperties = PropertyProtocol::MakeTable<MuteControl>({
    {kAudioBooleanControlPropertyValue, "IsMuted", Value<&MuteControl::GetIsMuted, &MuteControl::SetIsMuted>},
    {kAudioControlPropertyScope,        "Scope",   Value<&MuteControl::GetScope>},
    {kAudioControlPropertyElement,      "Element", Value<&MuteControl::GetElement>},
});

} // namespace

bool MuteControl::IsBuiltInProperty(AudioObjectPropertySelector selector) const
{
    return kProperties.Find(selector) != nullptr || Object::IsBuiltInProperty(selector);
}

Boolean MuteControl::HasProperty(AudioObjectID inObjectID, pid_t inClientProcessID,
                                 const AudioObjectPropertyAddress* inAddress) const
{
    return AnswerHasProperty("MuteControl::HasProperty()", kProperties, inObjectID, inClientProcessID, inAddress,
                             [&] { return Object::HasProperty(inObjectID, inClientProcessID, inAddress); });
}

OSStatus MuteControl::IsPropertySettable(AudioObjectID inObjectID, pid_t inClientProcessID,
                                         const AudioObjectPropertyAddress* inAddress, Boolean* outIsSettable) const
{
    return AnswerIsPropertySettable(
        "MuteControl::IsPropertySettable()", kProperties, inObjectID, inClientProcessID, inAddress, outIsSettable,
        [&] { return Object::IsPropertySettable(inObjectID, inClientProcessID, inAddress, outIsSettable); });
}

OSStatus MuteControl::GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientProcessID,
                                          const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                          const void* inQualifierData, UInt32* outDataSize) const
{
    return AnswerGetPropertyDataSize("MuteControl::GetPropertyDataSize()", kProperties, inObjectID, inClientProcessID,
                                     inAddress, inQualifierDataSize, inQualifierData, outDataSize, [&] {
        return Object::GetPropertyDataSize(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                           inQualifierData, outDataSize);
    });
}

OSStatus MuteControl::GetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                      const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                      const void* inQualifierData, UInt32 inDataSize, UInt32* outDataSize,
                                      void* outData) const
{
    return AnswerGetPropertyData("MuteControl::GetPropertyData()", kProperties, inObjectID, inClientProcessID,
                                 inAddress, inQualifierDataSize, inQualifierData, inDataSize, outDataSize, outData, [&] {
        return Object::GetPropertyData(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                       inQualifierData, inDataSize, outDataSize, outData);
    });
}

OSStatus MuteControl::SetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                      const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                      const void* inQualifierData, UInt32 inDataSize, const void* inData)
{
    return AnswerSetPropertyData("MuteControl::SetPropertyData()", kProperties, inObjectID, inClientProcessID,
                                 inAddress, inQualifierDataSize, inQualifierData, inDataSize, inData, [&] {
        return Object::SetPropertyData(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                       inQualifierData, inDataSize, inData);
    });
}

} // namespace hal
