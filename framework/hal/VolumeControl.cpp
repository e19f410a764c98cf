#include "hal/VolumeControl.h"

#include "hal/Context.h"
#include "hal/PropertyProtocol.h"
#include "hal/Tracer.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace hal {

namespace {

// Multiplies `count` samples by `gain` and limits each to [-1.0, 1.0]; a NaN (from the mix, or an
// infinite sample at gain 0) becomes 0.0. The cost of a volume control's processing is this loop.
//
// Written plainly, the three selects vectorise, but GCC, bound by their NaN semantics, spells each
// as a compare and three mask operations instead of the one minimum or maximum instruction that has
// exactly those semantics: some twenty instructions per four samples, eight times the cost of the
// multiplication alone. On x86 the loop therefore says what it means, five instructions per four
// samples; elsewhere (and for the tail) the plain form, which Clang turns into the same.
void ScaleAndLimit(Float32* samples, std::size_t count, Float32 gain) noexcept HAL_NONBLOCKING
{
    std::size_t index = 0;
#if defined(__SSE2__)
    const __m128 scale = _mm_set1_ps(gain);
    const __m128 high = _mm_set1_ps(1.0f);
    const __m128 low = _mm_set1_ps(-1.0f);
    for (; index + 4 <= count; index += 4) {
        __m128 sample = _mm_mul_ps(_mm_loadu_ps(samples + index), scale);
        // An unordered lane (NaN) compares false and is cleared to +0.0.
        sample = _mm_and_ps(sample, _mm_cmpord_ps(sample, sample));
        // minps and maxps return their second operand unless the first is less (greater).
        _mm_storeu_ps(samples + index, _mm_max_ps(_mm_min_ps(sample, high), low));
    }
#endif
    for (; index < count; ++index) {
        Float32 sample = samples[index] * gain;
        // NaN fails every comparison and would otherwise leave the limiter as it came in.
        sample = sample == sample ? sample : 0.0f;
        sample = sample < 1.0f ? sample : 1.0f;
        samples[index] = sample > -1.0f ? sample : -1.0f;
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
    // 64-bit: the product of two 32-bit counts must not wrap.
    ScaleAndLimit(samples, std::size_t{frameCount} * channelCount, GetScalarValue());
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

namespace {

using PropertyProtocol::Conversion;
using PropertyProtocol::Value;

// Scope and element of the address are not looked at. The conversions read their input from the
// data buffer and overwrite it with the result.
constexpr auto kProperties = PropertyProtocol::MakeTable<VolumeControl>({
    {kAudioControlPropertyScope,                        "Scope",         Value<&VolumeControl::GetScope>},
    {kAudioControlPropertyElement,                      "Element",       Value<&VolumeControl::GetElement>},
    {kAudioLevelControlPropertyScalarValue,             "ScalarValue",
     Value<&VolumeControl::GetScalarValue, &VolumeControl::SetScalarValue>},
    {kAudioLevelControlPropertyDecibelValue,            "DecibelValue",
     Value<&VolumeControl::GetDecibelValue, &VolumeControl::SetDecibelValue>},
    {kAudioLevelControlPropertyDecibelRange,            "DecibelRange",     Value<&VolumeControl::GetDecibelRange>},
    {kAudioLevelControlPropertyConvertScalarToDecibels, "ScalarToDecibels",
     Conversion<&VolumeControl::ConvertScalarToDecibels>},
    {kAudioLevelControlPropertyConvertDecibelsToScalar, "DecibelsToScalar",
     Conversion<&VolumeControl::ConvertDecibelsToScalar>},
});
static_assert(sizeof(Float32) == 4 && sizeof(AudioValueRange) == 16,
              "the host exchanges levels and decibel ranges in these sizes");

} // namespace

bool VolumeControl::IsBuiltInProperty(AudioObjectPropertySelector selector) const
{
    return kProperties.Find(selector) != nullptr || Object::IsBuiltInProperty(selector);
}

Boolean VolumeControl::HasProperty(AudioObjectID inObjectID, pid_t inClientProcessID,
                                   const AudioObjectPropertyAddress* inAddress) const
{
    return AnswerHasProperty("VolumeControl::HasProperty()", kProperties, inObjectID, inClientProcessID, inAddress,
                             [&] { return Object::HasProperty(inObjectID, inClientProcessID, inAddress); });
}

OSStatus VolumeControl::IsPropertySettable(AudioObjectID inObjectID, pid_t inClientProcessID,
                                           const AudioObjectPropertyAddress* inAddress, Boolean* outIsSettable) const
{
    return AnswerIsPropertySettable(
        "VolumeControl::IsPropertySettable()", kProperties, inObjectID, inClientProcessID, inAddress, outIsSettable,
        [&] { return Object::IsPropertySettable(inObjectID, inClientProcessID, inAddress, outIsSettable); });
}

OSStatus VolumeControl::GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientProcessID,
                                            const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                            const void* inQualifierData, UInt32* outDataSize) const
{
    return AnswerGetPropertyDataSize("VolumeControl::GetPropertyDataSize()", kProperties, inObjectID,
                                     inClientProcessID, inAddress, inQualifierDataSize, inQualifierData, outDataSize,
                                     [&] {
        return Object::GetPropertyDataSize(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                           inQualifierData, outDataSize);
    });
}

OSStatus VolumeControl::GetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                        const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                        const void* inQualifierData, UInt32 inDataSize, UInt32* outDataSize,
                                        void* outData) const
{
    return AnswerGetPropertyData("VolumeControl::GetPropertyData()", kProperties, inObjectID, inClientProcessID,
                                 inAddress, inQualifierDataSize, inQualifierData, inDataSize, outDataSize, outData, [&] {
        return Object::GetPropertyData(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                       inQualifierData, inDataSize, outDataSize, outData);
    });
}

OSStatus VolumeControl::SetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                        const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                        const void* inQualifierData, UInt32 inDataSize, const void* inData)
{
    return AnswerSetPropertyData("VolumeControl::SetPropertyData()", kProperties, inObjectID, inClientProcessID,
                                 inAddress, inQualifierDataSize, inQualifierData, inDataSize, inData, [&] {
        return Object::SetPropertyData(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                       inQualifierData, inDataSize, inData);
    });
}

} // namespace hal
