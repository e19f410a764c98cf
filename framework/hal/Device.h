#pragma once

// hal::Device: an audio device object ('adev', base class 'aobj').
//
// Reading. Every value the device reports comes from a virtual getter, and every getter is free
// of locks: scalars are atomics (acquire loads), lists and optional values are DoubleBuffer reads
// that never wait. The scalar getters allocate nothing and are safe on the real-time IO thread;
// getters that return strings or lists copy them and belong on the host's property threads. A
// getter that combines several fields (the derived preferred channel count, channels and layout)
// may mix values from before and after a concurrent change; each field it reads is consistent.
//
// Changing. Every writer holds the device's recursive write mutex; readers never take it. Values
// that change the device's shape (latency, safety offset, zero time stamp period, sample rates,
// preferred channels and layout) change only through the host's configuration-change protocol:
// an ...Async setter compares, checks, and requests a deferred change; the host later performs or
// aborts it. The change applies at once instead while the device has no owner, while the host is
// not yet known, and when it is requested from inside a change being performed. Plain flags
// (alive, hidden, default-device permissions, identify) change at once through their immediate
// setters, which notify the host. Setters and the host's configuration calls wait for the write
// mutex, and RequestConfigurationChange calls the host with it held: none of them belongs on the
// IO thread.
//
// Extending. A derived device changes where a value comes from by overriding its getter, how it
// is stored by overriding its ...Impl store, and an IO step by overriding its ...Impl step; the
// setters and the property protocol reach values only through these virtual operations.
//
// Lifetime. A device must be created through hal::MakeObject (it takes shared references to
// itself), and is never copied. The constructor adds it to nothing and notifies nothing; the
// plug-in object attaches it through RequestOwnershipChange.

#include "hal/ControlRequestHandler.h"
#include "hal/DeviceParameters.h"
#include "hal/DoubleBuffer.h"
#include "hal/IORequestHandler.h"
#include "hal/Object.h"
#include "hal/RealTime.h"

#include <CoreAudio/AudioServerPlugIn.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace hal {

class Context;

class Device : public Object
{
public:
    ~Device() override;

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // ---- Class identity -------------------------------------------------------------------------

    AudioClassID GetClass() const override;
    AudioClassID GetBaseClass() const override;
    // True for the device class and its base class.
    bool IsInstance(AudioClassID classID) const override;

    // ---- Property protocol (DeviceProperties.cpp) ---------------------------------------------------
    //
    // The device's own properties when the object ID is its own: identity texts and the icon URL,
    // transport type, related devices, clock properties, latency and safety offset, zero time
    // stamp period, nominal and available sample rates, preferred stereo channels and channel
    // layout, running, identify, alive, hidden, default-device permissions, streams (of the
    // address's scope) and controls (of every scope). HasProperty admits latency, safety offset,
    // the preferred channels and layout and the default-device permissions only in the input and
    // output scopes; the other operations answer them in every scope. The host may set the
    // nominal sample rate (through SetNominalSampleRateAsync, so it changes when the host performs
    // the change) and identify (SetIsIdentifying). Everything else goes to hal::Object. Each
    // operation is traced, takes no device lock (a set waits only inside the setter it calls) and
    // reads values through the virtual getters; the text, list and layout properties allocate.

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

    // ---- Getters: lock-free; the scalar ones are safe on the IO thread ----------------------------

    virtual std::string GetName() const;
    virtual std::string GetManufacturer() const;
    // The DeviceUID parameter, or "<ModelUID>:<generated id>" when it was empty; fixed for life.
    virtual std::string GetDeviceUID() const;
    virtual std::string GetModelUID() const;
    virtual std::string GetSerialNumber() const;
    virtual std::string GetFirmwareVersion() const;
    virtual std::string GetIconURL() const;
    virtual std::string GetConfigurationApplicationBundleID() const;
    // kAudioDeviceTransportTypeVirtual.
    virtual UInt32 GetTransportType() const HAL_NONBLOCKING;
    // The device's own ID only.
    virtual std::vector<AudioObjectID> GetRelatedDeviceIDs() const;
    virtual bool GetClockIsStable() const HAL_NONBLOCKING;
    virtual UInt32 GetClockAlgorithm() const HAL_NONBLOCKING;
    virtual UInt32 GetClockDomain() const HAL_NONBLOCKING;
    virtual UInt32 GetLatency() const HAL_NONBLOCKING;
    virtual UInt32 GetSafetyOffset() const HAL_NONBLOCKING;
    virtual UInt32 GetZeroTimeStampPeriod() const HAL_NONBLOCKING;
    virtual Float64 GetNominalSampleRate() const HAL_NONBLOCKING;
    // The list last stored (an empty one included); until one is, the single range
    // {nominal, nominal}, which admits only the current nominal rate.
    virtual std::vector<AudioValueRange> GetAvailableSampleRates() const;
    virtual std::array<UInt32, 2> GetPreferredChannelsForStereo() const HAL_NONBLOCKING;
    // The stored count; else the number of stored channels (when not empty); else the description
    // count of a stored layout that lists its channels; else the ChannelCount parameter.
    virtual UInt32 GetPreferredChannelCount() const HAL_NONBLOCKING;
    // The stored list (an empty one included); else the descriptions of a stored layout that
    // lists its channels; else GetPreferredChannelCount() channels labelled 1, 2, 3 ...
    virtual std::vector<AudioChannelDescription> GetPreferredChannels() const;
    // The stored layout bytes (empty ones included); else a layout that lists
    // GetPreferredChannels(). One AudioChannelLayout in its variable-length form.
    virtual std::vector<UInt8> GetPreferredChannelLayout() const;
    // While at least one client runs IO.
    virtual bool GetIsRunning() const HAL_NONBLOCKING;
    // Always false: the device cannot identify itself.
    virtual bool GetIsIdentifying() const HAL_NONBLOCKING;
    virtual bool GetIsAlive() const HAL_NONBLOCKING;
    virtual bool GetIsHidden() const HAL_NONBLOCKING;
    virtual bool GetCanBeDefaultDevice() const HAL_NONBLOCKING;
    virtual bool GetCanBeDefaultSystemDevice() const HAL_NONBLOCKING;
    // Owned streams of `scope`; of every scope for kAudioObjectPropertyScopeGlobal.
    virtual std::vector<AudioObjectID> GetStreamIDs(AudioObjectPropertyScope scope) const;
    // Owned controls of `scope`; of every scope for kAudioObjectPropertyScopeGlobal.
    virtual std::vector<AudioObjectID> GetControlIDs(AudioObjectPropertyScope scope) const;

    // 0 when the device accepts `rate` as nominal sample rate: a finite rate above zero that lies
    // in one of GetAvailableSampleRates() (any such rate when that list is empty). Otherwise
    // kAudioHardwareUnsupportedOperationError. Lock-free; allocates (it copies the list).
    OSStatus CheckNominalSampleRate(Float64 rate) const;

    // ---- Handlers ------------------------------------------------------------------------------
    //
    // A device always has both. The shared forms co-own the handler; the plain-pointer forms leave
    // it to the application, which keeps it alive while the device can call it. Null installs a
    // new default handler owned by the device. Under the write mutex; nothing is notified.

    void SetControlHandler(std::shared_ptr<ControlRequestHandler> handler);
    void SetControlHandler(ControlRequestHandler* handler);
    void SetIOHandler(std::shared_ptr<IORequestHandler> handler);
    void SetIOHandler(IORequestHandler* handler);

    // The installed handler, never null. Lock-free, safe on the IO thread.
    ControlRequestHandler* GetControlHandler() const noexcept HAL_NONBLOCKING;
    IORequestHandler* GetIOHandler() const noexcept HAL_NONBLOCKING;

    // ---- Configuration-change protocol ------------------------------------------------------------
    //
    // Client and IO operations of the host take their place in front of these.

    // Runs `change` now, on the calling thread (no owner, no host yet, or inside a change being
    // performed); or keeps it under the next request ID and asks the host, with the write mutex
    // held, to perform it. A host that refuses leaves the change pending until it is performed,
    // aborted, or the device is detached. A change run now that throws (an empty one throws
    // std::bad_function_call) throws to the caller.
    virtual void RequestConfigurationChange(std::function<void()> change);

    // Attaches the device to `owner` (shouldHaveOwner true; nothing when it already has an owner)
    // or detaches it from `owner` (false; nothing when it has none), and on detaching applies
    // every pending change at once, oldest request first; one that throws is traced and dropped,
    // and the others still run. Needs a shared reference to the device (std::bad_weak_ptr
    // otherwise), and keeps one for the whole call, so the owner's reference may be the last.
    // Lock order: the caller's locks, then the device's write mutex, then the object bases'.
    virtual void RequestOwnershipChange(Object* owner, bool shouldHaveOwner);

    // The host's answers to a request. Perform runs the change kept under `changeAction` once
    // (nothing when there is none); requests made while it runs apply at once. Abort drops it.
    // The object ID and the change info are not looked at. Both return 0 and never throw: a
    // change that throws is dropped and reported as kAudioHardwareUnspecifiedError.
    virtual OSStatus PerformConfigurationChange(AudioObjectID objectID,
                                                UInt64 changeAction,
                                                void* changeInfo);
    virtual OSStatus AbortConfigurationChange(AudioObjectID objectID,
                                              UInt64 changeAction,
                                              void* changeInfo);

    // ---- Asynchronous setters ------------------------------------------------------------------
    //
    // Each compares the value with its getter: an equal value is dropped ("value not changed"),
    // also while another request for the same field is pending, which then wins. Otherwise it
    // requests a change that, when it runs, compares again and stores through the ...Impl store.
    // The status says whether the value was accepted, not whether it has been stored yet. None of
    // them notifies the host: the host learns about the new shape from the change it performs.

    OSStatus SetLatencyAsync(UInt32 latency);
    OSStatus SetSafetyOffsetAsync(UInt32 safetyOffset);
    // A period of 0 frames would stall the device clock: kAudioHardwareIllegalOperationError.
    OSStatus SetZeroTimeStampPeriodAsync(UInt32 zeroTimeStampPeriod);
    // A rate that CheckNominalSampleRate refuses: its status, and nothing is requested.
    OSStatus SetNominalSampleRateAsync(Float64 nominalSampleRate);
    OSStatus SetAvailableSampleRatesAsync(std::vector<AudioValueRange> availableSampleRates);
    OSStatus SetPreferredChannelsForStereoAsync(std::array<UInt32, 2> channels);
    OSStatus SetPreferredChannelCountAsync(UInt32 channelCount);
    OSStatus SetPreferredChannelsAsync(std::vector<AudioChannelDescription> channels);
    // `layout` must be one well-formed AudioChannelLayout: at least its 12-byte header, and with
    // kAudioChannelLayoutTag_UseChannelDescriptions at least the descriptions it counts.
    // Otherwise kAudioHardwareIllegalOperationError, and nothing is requested.
    OSStatus SetPreferredChannelLayoutAsync(std::vector<UInt8> layout);

    // ---- Immediate setters -----------------------------------------------------------------------
    //
    // Each stores at once through its ...Impl store and, when the value changed and the store
    // succeeded, notifies the host of the property in the global scope. An equal value is dropped.

    OSStatus SetIsIdentifying(bool isIdentifying);
    OSStatus SetIsAlive(bool isAlive);
    OSStatus SetIsHidden(bool isHidden);
    OSStatus SetCanBeDefaultDevice(bool canBeDefaultDevice);
    OSStatus SetCanBeDefaultSystemDevice(bool canBeDefaultSystemDevice);

protected:
    // Copies `parameters` and fixes the device UID; registers the device under a new ID. Create
    // devices with hal::MakeObject<Device>(context, parameters).
    Device(std::shared_ptr<const Context> context, const DeviceParameters& parameters);

    // The selectors of the device's property table, then those of hal::Object.
    bool IsBuiltInProperty(AudioObjectPropertySelector selector) const override;

    // ---- Value stores ----------------------------------------------------------------------------
    //
    // Called only by the setters' steps, with the write mutex held, after their checks. They store
    // and nothing else: no validation, no notification. A stored optional value stays set for
    // good. Overriding one changes where the device keeps that value.

    virtual OSStatus SetLatencyImpl(UInt32 latency);
    virtual OSStatus SetSafetyOffsetImpl(UInt32 safetyOffset);
    virtual OSStatus SetZeroTimeStampPeriodImpl(UInt32 zeroTimeStampPeriod);
    virtual OSStatus SetNominalSampleRateImpl(Float64 nominalSampleRate);
    virtual OSStatus SetAvailableSampleRatesImpl(const std::vector<AudioValueRange>& availableSampleRates);
    virtual OSStatus SetPreferredChannelsForStereoImpl(const std::array<UInt32, 2>& channels);
    virtual OSStatus SetPreferredChannelCountImpl(UInt32 channelCount);
    virtual OSStatus SetPreferredChannelsImpl(const std::vector<AudioChannelDescription>& channels);
    virtual OSStatus SetPreferredChannelLayoutImpl(const std::vector<UInt8>& layout);
    // Refuses: kAudioHardwareUnsupportedOperationError.
    virtual OSStatus SetIsIdentifyingImpl(bool isIdentifying);
    virtual OSStatus SetIsAliveImpl(bool isAlive);
    virtual OSStatus SetIsHiddenImpl(bool isHidden);
    virtual OSStatus SetCanBeDefaultDeviceImpl(bool canBeDefaultDevice);
    virtual OSStatus SetCanBeDefaultSystemDeviceImpl(bool canBeDefaultSystemDevice);

    // IO steps of the host's IO operations take their place after the stores.

    // The parameters given at construction, unchanged.
    const DeviceParameters& GetParameters() const noexcept { return mParameters; }

private:
    template <class T, class... Arguments>
    friend std::shared_ptr<T> MakeObject(Arguments&&... arguments);

    // Whether `layout` reads as one AudioChannelLayout: its 12-byte header, and, when its tag says
    // that descriptions follow, every description it counts. Trailing bytes are tolerated.
    static bool IsWellFormedLayout(const std::vector<UInt8>& layout) noexcept;

    using ControlHandlerSlot =
        std::variant<std::shared_ptr<ControlRequestHandler>, ControlRequestHandler*>;
    using IOHandlerSlot = std::variant<std::shared_ptr<IORequestHandler>, IORequestHandler*>;

    // The request and the deferred step of one asynchronous setter, and the steps of one
    // immediate setter (DeviceConfiguration.cpp). `getter` and `store` are callables taking the
    // device, so that they reach the virtual operations; `check` returns 0 for a valid value.
    template <class Value, class Getter, class Store, class Check>
    OSStatus RequestValueChange(const char* requestName,
                                const char* storeName,
                                Value value,
                                Getter getter,
                                Store store,
                                Check check);
    template <class Value, class Getter, class Store>
    void ApplyValueChange(const char* storeName, const Value& value, Getter getter, Store store);
    template <class Getter, class Store>
    OSStatus SetFlag(const char* operationName,
                     bool value,
                     Getter getter,
                     Store store,
                     AudioObjectPropertySelector notifiedProperty);

    const DeviceParameters mParameters;
    const std::string mDeviceUID;

    // Streams owned per direction; they decide which IO operations the device takes part in.
    std::atomic<UInt32> mInputStreamCount{0};
    std::atomic<UInt32> mOutputStreamCount{0};

    std::atomic<bool> mIsAlive{true};
    std::atomic<bool> mIsHidden{false};
    std::atomic<bool> mCanBeDefaultDevice;
    std::atomic<bool> mCanBeDefaultSystemDevice;

    std::atomic<UInt32> mLatency;
    std::atomic<UInt32> mSafetyOffset;
    std::atomic<UInt32> mZeroTimeStampPeriod;
    std::atomic<Float64> mNominalSampleRate;

    // StartIO calls not yet matched by StopIO. Signed: an unmatched StopIO shows as negative.
    std::atomic<SInt32> mIOStartCount{0};

    // Serialises every writer of the device. Recursive: a change applied at once runs inside its
    // requester, and a deferred change takes it again inside the perform or detach that runs it.
    std::recursive_mutex mWriteMutex;

    // Optional values are absent until first stored; absent means "derive a default".
    DoubleBuffer<std::optional<std::vector<AudioValueRange>>> mAvailableSampleRates{std::nullopt};
    DoubleBuffer<std::array<UInt32, 2>> mPreferredChannelsForStereo{std::array<UInt32, 2>{1, 2}};
    DoubleBuffer<std::optional<UInt32>> mPreferredChannelCount{std::nullopt};
    DoubleBuffer<std::optional<std::vector<AudioChannelDescription>>> mPreferredChannels{std::nullopt};
    DoubleBuffer<std::optional<std::vector<UInt8>>> mPreferredChannelLayout{std::nullopt};

    // Streams, controls and clients are kept here, in that order.

    DoubleBuffer<ControlHandlerSlot> mControlHandler{ControlHandlerSlot{}};
    DoubleBuffer<IOHandlerSlot> mIOHandler{IOHandlerSlot{}};

    // Guarded by mWriteMutex. Keyed by request ID, so that a detach applies the oldest first.
    std::map<UInt64, std::function<void()>> mPendingChanges;
    // Never reused during the device's life.
    UInt64 mNextRequestID = 0;
    // Above 0 while PerformConfigurationChange runs a change.
    UInt64 mPerformDepth = 0;

    // The IO mutex and the clock's state follow here.

    static_assert(std::atomic<UInt32>::is_always_lock_free && std::atomic<SInt32>::is_always_lock_free
                      && std::atomic<bool>::is_always_lock_free
                      && std::atomic<Float64>::is_always_lock_free,
                  "the IO thread reads these fields; reading them must not take a lock");
};

} // namespace hal
