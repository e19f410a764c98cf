#pragma once

// hal::Stream: one direction of audio on a device ('astr', base class 'aobj'): its direction, its
// first device channel, its latency, its physical and virtual formats with the lists of formats
// it offers, and the volume and mute controls whose processing it applies to float buffers.
//
// Reading. Every getter takes no lock and never waits: the active flag and the latency are
// atomics, the formats, lists and attached controls are DoubleBuffer reads. The scalar getters,
// the conversions and ApplyProcessing allocate nothing and are safe on the real-time IO thread;
// the list getters copy the list and belong on the host's property threads.
//
// Changing. The active flag changes at once (SetIsActive, which notifies the host). Latency,
// formats and format lists change only through the owning device's configuration changes: an
// ...Async setter compares, checks, and asks the device for a change; the value is stored when
// the device runs the change (at once while the device applies changes in place, otherwise when
// the host performs it). A stream whose device has gone away accepts these calls and applies
// nothing. Setters wait for the stream's write mutex and the device's, and may call the host:
// none belongs on the IO thread.
//
// Formats the stream accepts: the format must describe audio (a finite, positive sample rate, at
// least one channel, and for linear PCM frames large enough for their samples), and, when the
// matching list of available formats is not empty, equal one of its entries (sample rate
// included; the entry's rate range is not consulted). Anything else is refused with
// kAudioDeviceUnsupportedFormatError and nothing is requested.
//
// Controls. AttachVolumeControl and AttachMuteControl replace the attached control at once (null
// detaches), under the stream's write mutex; they wait for a processing call that is using the control they replace, and the
// replaced control is released on the attaching thread, never on the IO thread.
//
// Lock order: the device's write mutex, then the stream's. A setter never holds the stream's
// mutex while it asks the device for a change; a change that the device runs takes the stream's
// mutex inside the device's.
//
// Lifetime: create streams with hal::MakeObject<Stream>(context, device, parameters); the stream
// holds its device weakly, so a device that owns its streams forms no cycle.

#include "hal/DoubleBuffer.h"
#include "hal/Object.h"
#include "hal/RealTime.h"
#include "hal/StreamParameters.h"

#include <CoreAudio/AudioServerPlugIn.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace hal {

class Context;
class Device;
class MuteControl;
class VolumeControl;

class Stream : public Object
{
public:
    ~Stream() override;

    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // ---- Class identity ------------------------------------------------------------------------

    AudioClassID GetClass() const override;
    AudioClassID GetBaseClass() const override;
    // True for the stream class and its base class.
    bool IsInstance(AudioClassID classID) const override;

    // ---- Property protocol ---------------------------------------------------------------------
    // The stream's nine selectors for its own ID; everything else goes to the object base. Each
    // operation is traced and returns every failure as a status.

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

    // ---- Getters: lock-free; all but the list getters are safe on the IO thread ------------------

    virtual bool GetIsActive() const HAL_NONBLOCKING;
    virtual Direction GetDirection() const HAL_NONBLOCKING;
    // kAudioStreamTerminalTypeMicrophone for an input stream, kAudioStreamTerminalTypeSpeaker
    // otherwise.
    virtual UInt32 GetTerminalType() const HAL_NONBLOCKING;
    virtual UInt32 GetStartingChannel() const HAL_NONBLOCKING;
    virtual UInt32 GetLatency() const HAL_NONBLOCKING;
    virtual AudioStreamBasicDescription GetPhysicalFormat() const HAL_NONBLOCKING;
    // The list last stored (an empty one included); until one is, the current physical format
    // alone, offered at exactly its own sample rate. Allocates.
    virtual std::vector<AudioStreamRangedDescription> GetAvailablePhysicalFormats() const;
    virtual AudioStreamBasicDescription GetVirtualFormat() const HAL_NONBLOCKING;
    // As GetAvailablePhysicalFormats, for the virtual format. Allocates.
    virtual std::vector<AudioStreamRangedDescription> GetAvailableVirtualFormats() const;

    // Channels per frame and sample rate of GetPhysicalFormat().
    UInt32 GetChannelCount() const HAL_NONBLOCKING;
    Float64 GetSampleRate() const HAL_NONBLOCKING;

    // By the bytes per frame of the physical format. Frames to bytes wraps in 32 bits as the
    // host's own sizes do; bytes to frames rounds down, and is 0 when a frame has no bytes.
    virtual UInt32 ConvertFramesToBytes(UInt32 frames) const HAL_NONBLOCKING;
    virtual UInt32 ConvertBytesToFrames(UInt32 bytes) const HAL_NONBLOCKING;

    // ---- Setters -------------------------------------------------------------------------------

    // Stores at once through SetIsActiveImpl and, when the value changed and the store succeeded,
    // notifies the host of kAudioStreamPropertyIsActive. Returns the store's status.
    OSStatus SetIsActive(bool isActive);

    // Each compares with its getter (an equal value is dropped as "value not changed"), checks a
    // format as described above, and asks the device for a change that compares again and stores
    // through the ...Impl store. The status says whether the value was accepted (a host that
    // refuses the change gives its own status), not whether it has been stored yet; a store that
    // fails later reports only through the trace. None of them
    // notifies the host: the configuration change makes it read the stream again.
    OSStatus SetLatencyAsync(UInt32 latency);
    OSStatus SetPhysicalFormatAsync(AudioStreamBasicDescription format);
    OSStatus SetVirtualFormatAsync(AudioStreamBasicDescription format);
    OSStatus SetAvailablePhysicalFormatsAsync(std::vector<AudioStreamRangedDescription> formats);
    OSStatus SetAvailableVirtualFormatsAsync(std::vector<AudioStreamRangedDescription> formats);

    // 0 when the setters accept `format`, else kAudioDeviceUnsupportedFormatError. Reads the
    // available list through its virtual getter, so a derived stream's list counts. Allocates.
    OSStatus CheckPhysicalFormat(const AudioStreamBasicDescription& format) const;
    OSStatus CheckVirtualFormat(const AudioStreamBasicDescription& format) const;

    // ---- Controls and processing ---------------------------------------------------------------

    // Replace the attached control; null detaches. Not traced, nothing is notified. Waits for a
    // processing call that is using the replaced control: not for the IO thread.
    void AttachVolumeControl(std::shared_ptr<VolumeControl> volumeControl);
    void AttachMuteControl(std::shared_ptr<MuteControl> muteControl);
    // Detach the control only if it is the attached one (a device removing the control); another
    // attached control stays. Same waits as attaching.
    void DetachVolumeControl(const VolumeControl& volumeControl);
    void DetachMuteControl(const MuteControl& muteControl);

    // Processes `frameCount` frames of `channelCount` interleaved 32-bit float samples in place:
    // the attached volume control's processing, then the attached mute control's. Each control
    // stays attached, and alive, for the length of its own call. Allocates nothing, takes no lock
    // it would wait for: meant for the IO thread.
    virtual void ApplyProcessing(Float32* samples, UInt32 frameCount, UInt32 channelCount) const HAL_NONBLOCKING;

protected:
    // Copies `parameters` and holds `device` weakly; registers the stream under a new ID.
    Stream(std::shared_ptr<const Context> context, std::shared_ptr<Device> device,
           const StreamParameters& parameters);

    // ---- Value stores ----------------------------------------------------------------------------
    //
    // Called with the write mutex held, after the setters' checks; they store and nothing else. A
    // derived stream may refuse a value with a non-zero status. A stored list stays set, even
    // when it is empty.

    virtual OSStatus SetIsActiveImpl(bool isActive);
    virtual OSStatus SetLatencyImpl(UInt32 latency);
    virtual OSStatus SetPhysicalFormatImpl(const AudioStreamBasicDescription& format);
    virtual OSStatus SetAvailablePhysicalFormatsImpl(const std::vector<AudioStreamRangedDescription>& formats);
    virtual OSStatus SetVirtualFormatImpl(const AudioStreamBasicDescription& format);
    virtual OSStatus SetAvailableVirtualFormatsImpl(const std::vector<AudioStreamRangedDescription>& formats);

    // The parameters given at construction, unchanged.
    const StreamParameters& GetParameters() const noexcept { return mParameters; }

    bool IsBuiltInProperty(AudioObjectPropertySelector selector) const override;

private:
    template <class T, class... Arguments>
    friend std::shared_ptr<T> MakeObject(Arguments&&... arguments);

    using FormatList = std::optional<std::vector<AudioStreamRangedDescription>>;

    // The request and the deferred step of one ...Async setter (defined in Stream.cpp).
    // `getter` and `store` take the stream, so that they reach the virtual operations; `check`
    // returns 0 for an acceptable value.
    template <class Value, class Getter, class Store, class Check>
    OSStatus RequestValueChange(const char* requestName, const char* storeName, Value value, Getter getter,
                                Store store, Check check);
    template <class Value, class Getter, class Store>
    void ApplyValueChange(const char* storeName, const Value& value, Getter getter, Store store);

    OSStatus CheckFormat(const AudioStreamBasicDescription& format,
                         const std::vector<AudioStreamRangedDescription>& available) const;

    const StreamParameters mParameters;
    const std::weak_ptr<Device> mDevice;

    // Serialises every writer of this stream. Recursive: a change that the device applies in
    // place runs inside the setter that requested it.
    std::recursive_mutex mWriteMutex;

    std::atomic<bool> mIsActive{true};
    std::atomic<UInt32> mLatency;
    DoubleBuffer<AudioStreamBasicDescription> mPhysicalFormat;
    DoubleBuffer<AudioStreamBasicDescription> mVirtualFormat;
    // Absent until a list is stored; absent reads as the current format alone.
    DoubleBuffer<FormatList> mAvailablePhysicalFormats{std::nullopt};
    DoubleBuffer<FormatList> mAvailableVirtualFormats{std::nullopt};
    DoubleBuffer<std::shared_ptr<VolumeControl>> mVolumeControl{nullptr};
    DoubleBuffer<std::shared_ptr<MuteControl>> mMuteControl{nullptr};

    static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<UInt32>::is_always_lock_free,
                  "the IO thread reads these fields; reading them must not take a lock");
    static_assert(sizeof(AudioStreamBasicDescription) == 40 && sizeof(AudioStreamRangedDescription) == 56,
                  "the host reads formats and format lists in these sizes");
};

} // namespace hal
