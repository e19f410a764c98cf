#pragma once

// hal::VolumeControl: the volume of one scope of a device, an object of class 'vlme' (base class
// 'levl'). It keeps one integer raw value and shows it to the host in three forms, raw, decibels
// and a scalar from 0.0 to 1.0, through a VolumeCurve fixed at construction; the host reads them
// and sets the decibel or the scalar value. A stream that has the control attached multiplies its
// samples by the scalar value during IO.
//
// Reading. The raw value is one atomic and the curve never changes after construction, so the
// getters, the conversions and ApplyProcessing take no lock, allocate nothing and make no system
// call: they are safe on the real-time IO thread while a setter runs. ApplyProcessing reads the
// gain once per call, so a setter changes it between two calls, never within one.
//
// Changing. SetRawValue, which the decibel and scalar setters end in, holds the control's write
// mutex for the whole change, the host notification included: setters wait for one another,
// allocate and call the host, so none belongs on the IO thread. Values beyond the curve are
// clamped to its ends. A malformed request from the host can never raise the volume: a scalar
// value that is NaN sets the lowest step (silence), and a decibel value that is NaN, which the
// curve's walk would take as its loudest step, is refused with kAudioHardwareIllegalOperationError
// and changes nothing. Infinities are values beyond the ends and are clamped like any other.
//
// Parameters whose range the curve refuses (raw minimum not below the raw maximum, decibels not
// finite or falling; see VolumeCurve) leave the curve without a range. The constructor traces the
// refusal, and the control then reads raw 0, 0.0 dB and scalar 0.0: it silences the stream rather
// than play at a level nobody asked for.
//
// Processing limits every sample to [-1.0, 1.0]; a sample that is NaN after the gain (a NaN from
// the mix, or an infinite sample at gain 0.0) comes out as 0.0, so the buffer leaves the control
// inside that range whatever came in.
//
// The property operations and the setters report every failure as a status and let no exception
// out. A derived control changes where the raw value is kept by overriding GetRawValue and
// SetRawValueImpl (which may refuse with a status); the setters and the property protocol reach
// the value only through the virtual operations.
//
// Lifetime: create it with hal::MakeObject<VolumeControl>(context, parameters); never copied.

#include "hal/Object.h"
#include "hal/RealTime.h"
#include "hal/VolumeControlParameters.h"
#include "hal/VolumeCurve.h"

#include <CoreAudio/AudioServerPlugIn.h>
#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>

namespace hal {

class Context;

class VolumeControl : public Object
{
public:
    ~VolumeControl() override;

    VolumeControl(const VolumeControl&) = delete;
    VolumeControl& operator=(const VolumeControl&) = delete;

    // ---- Class identity -------------------------------------------------------------------------

    // 'vlme'; the base class is 'levl'; an instance of both, of 'actl' and of 'aobj'.
    AudioClassID GetClass() const override;
    AudioClassID GetBaseClass() const override;
    bool IsInstance(AudioClassID classID) const override;

    // ---- Property protocol -----------------------------------------------------------------------
    // The control answers kAudioControlPropertyScope and kAudioControlPropertyElement, and the
    // level-control properties scalar value, decibel value (both settable), decibel range and the
    // two conversions (which read their input from the data buffer and overwrite it with the
    // result), when the object ID is its own; scope and element of the address are not looked
    // at. Everything else goes to hal::Object, and so does setting one of the read-only ones, which
    // the base refuses as an unknown property.

    Boolean HasProperty(AudioObjectID inObjectID, pid_t inClientProcessID,
                        const AudioObjectPropertyAddress* inAddress) const override;
    OSStatus IsPropertySettable(AudioObjectID inObjectID, pid_t inClientProcessID,
                                const AudioObjectPropertyAddress* inAddress, Boolean* outIsSettable) const override;
    OSStatus GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientProcessID,
                                 const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                 const void* inQualifierData, UInt32* outDataSize) const override;
    OSStatus GetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                             const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                             const void* inQualifierData, UInt32 inDataSize, UInt32* outDataSize,
                             void* outData) const override;
    OSStatus SetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                             const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                             const void* inQualifierData, UInt32 inDataSize, const void* inData) override;

    // ---- Values: the getters and conversions are lock-free and safe on the IO thread ---------------

    // The Scope parameter.
    virtual AudioObjectPropertyScope GetScope() const HAL_NONBLOCKING;
    // Always kAudioObjectPropertyElementMain.
    virtual AudioObjectPropertyElement GetElement() const HAL_NONBLOCKING;

    virtual SInt32 GetRawValue() const HAL_NONBLOCKING;
    virtual Float32 GetDecibelValue() const HAL_NONBLOCKING;
    // Clamps to the curve's decibel range, converts to the nearest raw step, then SetRawValue. NaN:
    // kAudioHardwareIllegalOperationError, nothing changes.
    virtual OSStatus SetDecibelValue(Float32 decibels);
    // The gain that ApplyProcessing applies.
    virtual Float32 GetScalarValue() const HAL_NONBLOCKING;
    // Clamps to [0.0, 1.0], converts to the nearest raw step, then SetRawValue. NaN sets the lowest
    // step: silence.
    virtual OSStatus SetScalarValue(Float32 scalar);

    virtual AudioValueRange GetRawRange() const HAL_NONBLOCKING;
    virtual AudioValueRange GetDecibelRange() const HAL_NONBLOCKING;

    // Through the raw step nearest to the value clamped to the range; NaN converts as the lowest
    // value. Nothing changes.
    virtual Float32 ConvertScalarToDecibels(Float32 scalar) const HAL_NONBLOCKING;
    virtual Float32 ConvertDecibelsToScalar(Float32 decibels) const HAL_NONBLOCKING;

    // Multiplies frameCount × channelCount interleaved samples in place by GetScalarValue(), read
    // once, and limits each to [-1.0, 1.0] (NaN to 0.0). A null buffer is left alone. Allocates
    // nothing, takes no lock: for the IO thread.
    virtual void ApplyProcessing(Float32* samples, UInt32 frameCount, UInt32 channelCount) const HAL_NONBLOCKING;

    // The one writer of the raw value: under the write mutex, compares the requested value (before
    // any clamping) with GetRawValue(); an equal one changes nothing. Otherwise stores it through
    // SetRawValueImpl and, when that succeeds, notifies the host that the scalar and the decibel
    // value changed (also when clamping left the stored value as it was). Returns the store's status.
    OSStatus SetRawValue(SInt32 rawValue);

protected:
    // Registers the control under a new ID and builds its curve from `parameters`. Create controls
    // with hal::MakeObject<VolumeControl>(context, parameters).
    VolumeControl(std::shared_ptr<const Context> context, const VolumeControlParameters& parameters);

    // Clamps `rawValue` to the curve's raw range and stores it. Called only by SetRawValue, under
    // the write mutex; a non-zero status reaches SetRawValue's caller.
    virtual OSStatus SetRawValueImpl(SInt32 rawValue);

    // The parameters given at construction, unchanged.
    const VolumeControlParameters& GetParameters() const noexcept { return mParameters; }

    bool IsBuiltInProperty(AudioObjectPropertySelector selector) const override;

private:
    template <class T, class... Arguments>
    friend std::shared_ptr<T> MakeObject(Arguments&&... arguments);

    // The curve of the parameters' one range with the default transfer function; empty, with a
    // message, when the curve refuses the range.
    VolumeCurve BuildCurve() const;

    const VolumeControlParameters mParameters;
    const VolumeCurve mCurve;
    // Serialises SetRawValue.
    std::mutex mWriteMutex;
    // Stored with release order, loaded with acquire order.
    std::atomic<SInt32> mRawValue;

    static_assert(std::atomic<SInt32>::is_always_lock_free, "the IO thread reads the raw value");
};

} // namespace hal
