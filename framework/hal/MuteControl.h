#pragma once

// hal::MuteControl: muting of one scope of a device, an object of class 'mute' (base class
// 'togl'). It holds one flag that the host reads and sets through kAudioBooleanControlPropertyValue;
// a stream that has the control attached silences its samples during IO while the flag is set.
//
// Reading. The flag is one atomic: GetIsMuted and ApplyProcessing take no lock, allocate nothing
// and make no system call, so they are safe on the real-time IO thread while a setter runs.
// ApplyProcessing reads the flag once per call: a buffer is cleared whole or left whole.
//
// Changing. SetIsMuted holds the control's write mutex for the whole change, the host notification
// included: setters wait for one another, allocate and call the host, so none belongs on the IO
// thread. Every value is acceptable (the host's 32-bit value mutes when it is not 0).
//
// The property operations and the setter report every failure as a status and let no exception
// out. A derived control changes where the flag is kept by overriding GetIsMuted and
// SetIsMutedImpl (which may refuse with a status).
//
// Lifetime: create it with hal::MakeObject<MuteControl>(context, parameters); never copied.

#include "hal/MuteControlParameters.h"
#include "hal/Object.h"
#include "hal/RealTime.h"

#include <CoreAudio/AudioServerPlugIn.h>
#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>

namespace hal {

class Context;

class MuteControl : public Object
{
public:
    ~MuteControl() override;

    MuteControl(const MuteControl&) = delete;
    MuteControl& operator=(const MuteControl&) = delete;

    // ---- Class identity -------------------------------------------------------------------------

    // 'mute'; the base class is 'togl'; an instance of both, of 'actl' and of 'aobj'.
    AudioClassID GetClass() const override;
    AudioClassID GetBaseClass() const override;
    bool IsInstance(AudioClassID classID) const override;

    // ---- Property protocol -----------------------------------------------------------------------
    // The control answers kAudioBooleanControlPropertyValue (settable, 1 or 0 as a 32-bit value),
    // kAudioControlPropertyScope and kAudioControlPropertyElement when the object ID is its own;
    // scope and element of the address are not looked at. Everything else goes to hal::Object, and
    // so does setting the scope or the element, which the base refuses as an unknown property.

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

    // ---- Values: the getters are lock-free and safe on the IO thread --------------------------------

    // The Scope parameter.
    virtual AudioObjectPropertyScope GetScope() const HAL_NONBLOCKING;
    // Always kAudioObjectPropertyElementMain.
    virtual AudioObjectPropertyElement GetElement() const HAL_NONBLOCKING;
    virtual bool GetIsMuted() const HAL_NONBLOCKING;

    // While GetIsMuted() (read once) is true, sets all frameCount × channelCount samples to 0.0 (all
    // bytes zero); otherwise leaves them untouched. A null buffer is left alone. Allocates nothing,
    // takes no lock: for the IO thread.
    virtual void ApplyProcessing(Float32* samples, UInt32 frameCount, UInt32 channelCount) const HAL_NONBLOCKING;

    // The one writer of the flag: under the write mutex, an equal value changes nothing; otherwise
    // stores it through SetIsMutedImpl and, when that succeeds, notifies the host that the value
    // changed. Returns the store's status.
    OSStatus SetIsMuted(bool isMuted);

protected:
    // Registers the control under a new ID, not muted. Create controls with
    // hal::MakeObject<MuteControl>(context, parameters).
    MuteControl(std::shared_ptr<const Context> context, const MuteControlParameters& parameters);

    // Stores the flag. Called only by SetIsMuted, under the write mutex; a non-zero status reaches
    // SetIsMuted's caller.
    virtual OSStatus SetIsMutedImpl(bool isMuted);

    bool IsBuiltInProperty(AudioObjectPropertySelector selector) const override;

private:
    template <class T, class... Arguments>
    friend std::shared_ptr<T> MakeObject(Arguments&&... arguments);

    const AudioObjectPropertyScope mScope;
    // Serialises SetIsMuted.
    std::mutex mWriteMutex;
    // Stored with release order, loaded with acquire order.
    std::atomic<bool> mIsMuted{false};

    static_assert(std::atomic<bool>::is_always_lock_free, "the IO thread reads the flag");
};

} // namespace hal
