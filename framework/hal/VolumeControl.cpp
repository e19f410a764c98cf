#include "hal/VolumeControl.h"

#include "hal/Context.h"
#include "hal/Convert.h"
#include "hal/PropertyProtocol.h"
#include "hal/Tracer.h"

#include <cmath>
#include <cstddef>
#include <string>
#include <utility>

namespace hal {

namespace {

using PropertyProtocol::OutputBuffer;

constexpr UInt32 kLevelSize = sizeof(Float32);
constexpr UInt32 kCodeSize = sizeof(UInt32);
constexpr UInt32 kRangeSize = sizeof(AudioValueRange);
static_assert(kLevelSize == 4 && kCodeSize == 4 && kRangeSize == 16,
              "the host exchanges levels, scope and element, and decibel ranges in these sizes");

bool IsOwnSelector(AudioObjectPropertySelector selector) noexcept
{
    switch (selector) {
    case kAudioControlPropertyScope:
    case kAudioControlPropertyElement:
    case kAudioLevelControlPropertyScalarValue:
    case kAudioLevelControlPropertyDecibelValue:
    case kAudioLevelControlPropertyDecibelRange:
    case kAudioLevelControlPropertyConvertScalarToDecibels:
    case kAudioLevelControlPropertyConvertDecibelsToScalar:
        return true;
    default:
        return false;
    }
}

bool IsSettableSelector(AudioObjectPropertySelector selector) noexcept
{
    return selector == kAudioLevelControlPropertyScalarValue || selector == kAudioLevelControlPropertyDecibelValue;
}

UInt32 GetValueSize(AudioObjectPropertySelector selector) noexcept
{
    switch (selector) {
    case kAudioLevelControlPropertyDecibelRange:
        return kRangeSize;
    case kAudioControlPropertyScope:
    case kAudioControlPropertyElement:
        return kCodeSize;
    default:
        return kLevelSize;
    }
}

// Raised to the minimum first, then lowered to the maximum. Not std::clamp, which requires ordered
// bounds: a curve with steps between its ranges can end lower than it starts. NaN passes through
// unchanged; the curve takes it as its lowest value.
Float32 LimitTo(Float32 value, Float32 minimum, Float32 maximum) noexcept HAL_NONBLOCKING
{
    if (value < minimum) {
        value = minimum;
    }
    if (value > maximum) {
        value = maximum;
    }
    return value;
}

} // namespace

// ---- Construction ----------------------------------------------------------------------------------

VolumeControl::VolumeControl(std::shared_ptr<const Context> context, const VolumeControlParameters& parameters)
    : Object(std::move(context), "VolumeControl")
    , mParameters(parameters)
    , mCurve(BuildCurve())
    // The raw maximum of the curve is MaxRawValue, or 0 when the curve refused the range: the
    // initial value is always one the curve can convert.
    , mRawValue(mCurve.GetMaximumRaw())
{
}

VolumeControl::~VolumeControl() = default;

VolumeCurve VolumeControl::BuildCurve() const
{
    VolumeCurve curve;
    curve.SetTransferFunction(VolumeCurve::kDefaultTransferFunction);
    if (!curve.AddRange(mParameters.MinRawValue, mParameters.MaxRawValue, mParameters.MinDecibelValue,
                        mParameters.MaxDecibelValue)) {
        GetContext()->Tracer->Message(
            "VolumeControl::VolumeControl() objectID=%u refused the volume range raw %d..%d, %f..%f dB: the control "
            "stays silent",
            GetID(), mParameters.MinRawValue, mParameters.MaxRawValue, mParameters.MinDecibelValue,
            mParameters.MaxDecibelValue);
    }
    return curve;
}

// ---- Class identity --------------------------------------------------------------------------------

AudioClassID VolumeControl::GetClass() const
{
    return kAudioVolumeControlClassID;
}

AudioClassID VolumeControl::GetBaseClass() const
{
    return kAudioLevelControlClassID;
}

bool VolumeControl::IsInstance(AudioClassID classID) const
{
    return classID == kAudioVolumeControlClassID || classID == kAudioLevelControlClassID
           || classID == kAudioControlClassID || Object::IsInstance(classID);
}

// ---- Values ------------------------------------------------------------------------------------------

AudioObjectPropertyScope VolumeControl::GetScope() const HAL_NONBLOCKING
{
    return mParameters.Scope;
}

AudioObjectPropertyElement VolumeControl::GetElement() const HAL_NONBLOCKING
{
    return kAudioObjectPropertyElementMain;
}

SInt32 VolumeControl::GetRawValue() const HAL_NONBLOCKING
{
    return mRawValue.load(std::memory_order_acquire);
}

Float32 VolumeControl::GetDecibelValue() const HAL_NONBLOCKING
{
    return mCurve.ConvertRawToDB(GetRawValue());
}

Float32 VolumeControl::GetScalarValue() const HAL_NONBLOCKING
{
    return mCurve.ConvertRawToScalar(GetRawValue());
}

AudioValueRange VolumeControl::GetRawRange() const HAL_NONBLOCKING
{
    return AudioValueRange{static_cast<Float64>(mCurve.GetMinimumRaw()), static_cast<Float64>(mCurve.GetMaximumRaw())};
}

AudioValueRange VolumeControl::GetDecibelRange() const HAL_NONBLOCKING
{
    return AudioValueRange{static_cast<Float64>(mCurve.GetMinimumDB()), static_cast<Float64>(mCurve.GetMaximumDB())};
}

Float32 VolumeControl::ConvertScalarToDecibels(Float32 scalar) const HAL_NONBLOCKING
{
    return mCurve.ConvertScalarToDB(LimitTo(scalar, 0.0f, 1.0f));
}

Float32 VolumeControl::ConvertDecibelsToScalar(Float32 decibels) const HAL_NONBLOCKING
{
    return mCurve.ConvertDBToScalar(LimitTo(decibels, mCurve.GetMinimumDB(), mCurve.GetMaximumDB()));
}

void VolumeControl::ApplyProcessing(Float32* samples, UInt32 frameCount, UInt32 channelCount) const HAL_NONBLOCKING
{
    if (samples == nullptr) {
        return;
    }
    // Read once: the whole buffer gets one gain, whatever a setter does meanwhile.
    const Float32 gain = GetScalarValue();
    // 64-bit: the product of two 32-bit counts must not wrap.
    const std::size_t sampleCount = std::size_t{frameCount} * channelCount;
    for (std::size_t index = 0; index < sampleCount; ++index) {
        const Float32 scaled = samples[index] * gain;
        // Selects rather than branches, so that the loop vectorises. NaN fails every comparison
        // and would otherwise leave the limiter as it came in.
        Float32 limited = scaled > 1.0f ? 1.0f : scaled;
        limited = limited < -1.0f ? -1.0f : limited;
        samples[index] = limited == limited ? limited : 0.0f;
    }
}

// ---- Setters -----------------------------------------------------------------------------------------

OSStatus VolumeControl::SetRawValue(SInt32 rawValue)
{
    const std::shared_ptr<const Context> context = GetContext();
    Tracer& tracer = *context->Tracer;
    const Tracer::Operation operation{.Name = "VolumeControl::SetRawValue()", .Flags = 0, .ObjectID = GetID()};
    return PropertyProtocol::RunTraced(tracer, operation, [&]() -> OSStatus {
        const std::lock_guard<std::mutex> lock(mWriteMutex);
        if (GetRawValue() == rawValue) {
            tracer.Message("value not changed");
            return kAudioHardwareNoError;
        }
        tracer.Message("setting raw value to %d", rawValue);
        if (const OSStatus status = SetRawValueImpl(rawValue); status != kAudioHardwareNoError) {
            tracer.Message("SetRawValueImpl() failed");
            return status;
        }
        // The scalar and decibel forms are what the host reads; the raw value is not a property.
        NotifyPropertiesChanged({kAudioLevelControlPropertyScalarValue, kAudioLevelControlPropertyDecibelValue},
                                GetScope(), GetElement());
        return kAudioHardwareNoError;
    });
}

OSStatus VolumeControl::SetRawValueImpl(SInt32 rawValue)
{
    // Capped first, then raised: an empty curve's ends are both 0.
    SInt32 clamped = rawValue > mCurve.GetMaximumRaw() ? mCurve.GetMaximumRaw() : rawValue;
    clamped = clamped < mCurve.GetMinimumRaw() ? mCurve.GetMinimumRaw() : clamped;
    mRawValue.store(clamped, std::memory_order_release);
    return kAudioHardwareNoError;
}

OSStatus VolumeControl::SetDecibelValue(Float32 decibels)
{
    const std::shared_ptr<const Context> context = GetContext();
    Tracer& tracer = *context->Tracer;
    const Tracer::Operation operation{.Name = "VolumeControl::SetDecibelValue()", .Flags = 0, .ObjectID = GetID()};
    return PropertyProtocol::RunTraced(tracer, operation, [&]() -> OSStatus {
        // Taken at face value, NaN would pass every comparison of the curve's walk and land on its
        // loudest step.
        if (std::isnan(decibels)) {
            tracer.Message("refusing a decibel value that is not a number");
            return kAudioHardwareIllegalOperationError;
        }
        const Float32 limited = LimitTo(decibels, mCurve.GetMinimumDB(), mCurve.GetMaximumDB());
        return SetRawValue(mCurve.ConvertDBToRaw(limited));
    });
}

OSStatus VolumeControl::SetScalarValue(Float32 scalar)
{
    const std::shared_ptr<const Context> context = GetContext();
    Tracer& tracer = *context->Tracer;
    const Tracer::Operation operation{.Name = "VolumeControl::SetScalarValue()", .Flags = 0, .ObjectID = GetID()};
    return PropertyProtocol::RunTraced(tracer, operation, [&]() -> OSStatus {
        // A NaN passes the limits unchanged and the curve takes it as its lowest step: silence,
        // never a level louder than the one asked for.
        return SetRawValue(mCurve.ConvertScalarToRaw(LimitTo(scalar, 0.0f, 1.0f)));
    });
}

// ---- Property protocol -------------------------------------------------------------------------------

Boolean VolumeControl::HasProperty(AudioObjectID inObjectID, pid_t inClientProcessID,
                                   const AudioObjectPropertyAddress* inAddress) const
{
    return RunHasProperty("VolumeControl::HasProperty()", inObjectID, inClientProcessID, inAddress, IsOwnSelector,
                          [&] { return Object::HasProperty(inObjectID, inClientProcessID, inAddress); });
}

OSStatus VolumeControl::IsPropertySettable(AudioObjectID inObjectID, pid_t inClientProcessID,
                                           const AudioObjectPropertyAddress* inAddress, Boolean* outIsSettable) const
{
    return RunPropertyOperation({.Name = "VolumeControl::IsPropertySettable()",
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
        const bool isSettable = IsSettableSelector(inAddress->mSelector);
        *outIsSettable = isSettable;
        tracer.Message("returning IsSettable=%s", isSettable ? "true" : "false");
        return kAudioHardwareNoError;
    });
}

OSStatus VolumeControl::GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientProcessID,
                                            const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                            const void* inQualifierData, UInt32* outDataSize) const
{
    return RunPropertyOperation({.Name = "VolumeControl::GetPropertyDataSize()",
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
        const UInt32 size = GetValueSize(inAddress->mSelector);
        *outDataSize = size;
        tracer.Message("returning PropertySize=%u", size);
        return kAudioHardwareNoError;
    });
}

OSStatus VolumeControl::GetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                        const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                        const void* inQualifierData, UInt32 inDataSize, UInt32* outDataSize,
                                        void* outData) const
{
    return RunPropertyOperation({.Name = "VolumeControl::GetPropertyData()",
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
        switch (PropertyProtocol::CheckOutputBuffer(tracer, GetValueSize(inAddress->mSelector), inDataSize,
                                                    outDataSize, outData)) {
        case OutputBuffer::TooSmall:
            return kAudioHardwareBadPropertySizeError;
        case OutputBuffer::Absent:
            return kAudioHardwareNoError;
        case OutputBuffer::Ready:
            break;
        }
        WriteOwnProperty(tracer, inAddress->mSelector, outData);
        return kAudioHardwareNoError;
    });
}

void VolumeControl::WriteOwnProperty(Tracer& tracer, AudioObjectPropertySelector selector, void* outData) const
{
    using PropertyProtocol::ReadValue;
    using PropertyProtocol::WriteValue;
    switch (selector) {
    case kAudioControlPropertyScope: {
        const UInt32 scope = GetScope();
        WriteValue(outData, scope);
        tracer.Message("returning Scope=%u", scope);
        break;
    }
    case kAudioControlPropertyElement: {
        const UInt32 element = GetElement();
        WriteValue(outData, element);
        tracer.Message("returning Element=%u", element);
        break;
    }
    case kAudioLevelControlPropertyScalarValue: {
        const Float32 scalar = GetScalarValue();
        WriteValue(outData, scalar);
        tracer.Message("returning ScalarValue=%f", scalar);
        break;
    }
    case kAudioLevelControlPropertyDecibelValue: {
        const Float32 decibels = GetDecibelValue();
        WriteValue(outData, decibels);
        tracer.Message("returning DecibelValue=%f", decibels);
        break;
    }
    case kAudioLevelControlPropertyDecibelRange: {
        const AudioValueRange range = GetDecibelRange();
        WriteValue(outData, range);
        tracer.Message("returning DecibelRange=%s", Convert::FormatValue(range).c_str());
        break;
    }
    case kAudioLevelControlPropertyConvertScalarToDecibels: {
        // The host passes the value to convert in the buffer that receives the result.
        const Float32 scalar = ReadValue<Float32>(outData);
        tracer.Message("obtained input ScalarToDecibels=%f", scalar);
        const Float32 decibels = ConvertScalarToDecibels(scalar);
        WriteValue(outData, decibels);
        tracer.Message("returning ScalarToDecibels=%f", decibels);
        break;
    }
    case kAudioLevelControlPropertyConvertDecibelsToScalar: {
        const Float32 decibels = ReadValue<Float32>(outData);
        tracer.Message("obtained input DecibelsToScalar=%f", decibels);
        const Float32 scalar = ConvertDecibelsToScalar(decibels);
        WriteValue(outData, scalar);
        tracer.Message("returning DecibelsToScalar=%f", scalar);
        break;
    }
    default:
        break;
    }
}

OSStatus VolumeControl::SetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                        const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                        const void* inQualifierData, UInt32 inDataSize, const void* inData)
{
    return RunPropertyOperation({.Name = "VolumeControl::SetPropertyData()",
                                 .Flags = 0,
                                 .ClientPID = inClientProcessID,
                                 .PropertyAddress = inAddress,
                                 .QualifierDataSize = inQualifierDataSize,
                                 .QualifierData = inQualifierData,
                                 .InDataSize = inDataSize,
                                 .InData = inData},
                                [&](Tracer& tracer) -> OSStatus {
        // The read-only selectors of the control go to the base too, which does not know them.
        if (inObjectID != GetID() || !IsSettableSelector(inAddress->mSelector)) {
            return Object::SetPropertyData(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                           inQualifierData, inDataSize, inData);
        }
        if (const OSStatus status = PropertyProtocol::CheckInputBuffer(tracer, kLevelSize, inDataSize, inData);
            status != kAudioHardwareNoError) {
            return status;
        }
        const Float32 value = PropertyProtocol::ReadValue<Float32>(inData);
        OSStatus status = kAudioHardwareNoError;
        if (inAddress->mSelector == kAudioLevelControlPropertyScalarValue) {
            tracer.Message("setting ScalarValue=%f", value);
            status = SetScalarValue(value);
        } else {
            tracer.Message("setting DecibelValue=%f", value);
            status = SetDecibelValue(value);
        }
        if (status != kAudioHardwareNoError) {
            tracer.Message("setter failed");
        }
        return status;
    });
}

} // namespace hal
