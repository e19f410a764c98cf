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
// Members. Streams, volume controls and mute controls join and leave through the configuration-
// change protocol too. The device keeps two views of them: the member tables, which the lookups
// (GetStreamByID ...) and the IO operations read, and the owned objects with the stream counts,
// which the host's properties and WillDoIOOperation follow. A member joins the tables at once and
// the owned objects when its change runs; a stream leaves both when its change runs, so that the
// IO operations keep serving it as long as the host still lists it; a control leaves the tables
// at once and the owned objects, and every stream it is attached to, when its change runs. The
// lookups never wait.
//
// Clients and IO. The host's AddClient and RemoveClient hold the write mutex; StartIO, StopIO and
// the IO operations (GetZeroTimeStamp, WillDoIOOperation, Begin/Do/EndIOOperation) hold the
// device's recursive IO mutex, so they never overlap one another, and the control handler's
// OnStartIO and OnStopIO run under it. The IO operations run on the host's real-time IO thread:
// with real-time tracing off (the default) they allocate nothing, format nothing, make no system
// call but reading the host clock (and its timebase after a change of rate), and wait for no lock
// but the IO mutex, which otherwise only StartIO and StopIO take. Every handler is called through
// the read lock of its slot, and gets the client and the stream as references into the read-
// locked tables: a handler, client or stream replaced or removed meanwhile is released on the
// replacing thread once the call has returned, never on the IO thread. A handler therefore must
// not replace its own slot, nor add or remove clients, from inside a call it is given: the
// replacement would wait for that very call.
//
// Lifetime. A device must be created through hal::MakeObject (it takes shared references to
// itself), and is never copied. The constructor adds it to nothing and notifies nothing; the
// plug-in object attaches it through RequestOwnershipChange.

#include "hal/ControlRequestHandler.h"
#include "hal/DeviceParameters.h"
#include "hal/Direction.h"
#include "hal/DoubleBuffer.h"
#include "hal/IORequestHandler.h"
#include "hal/MuteControlParameters.h"
#include "hal/Object.h"
#include "hal/RealTime.h"
#include "hal/StreamParameters.h"
#include "hal/VolumeControlParameters.h"

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
#include <unordered_map>
#include <variant>
#include <vector>

namespace hal {

class Client;
class Context;
class MuteControl;
class Stream;
class VolumeControl;

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
    // new default handler owned by the device. Under the write mutex; nothing is notified. Waits
    // for a running call of the replaced handler to return, and then releases it on this thread.

    void SetControlHandler(std::shared_ptr<ControlRequestHandler> handler);
    void SetControlHandler(ControlRequestHandler* handler);
    void SetIOHandler(std::shared_ptr<IORequestHandler> handler);
    void SetIOHandler(IORequestHandler* handler);

    // The installed handler, never null. Lock-free, safe on the IO thread.
    ControlRequestHandler* GetControlHandler() const noexcept HAL_NONBLOCKING;
    IORequestHandler* GetIOHandler() const noexcept HAL_NONBLOCKING;

    // ---- Clients ---------------------------------------------------------------------------------
    //
    // The host's AddDeviceClient and RemoveDeviceClient. Both hold the write mutex and call the
    // control handler (OnAddClient, OnRemoveClient) with it held; both are traced and never throw.
    // Adding a client ID again replaces its record, without OnRemoveClient for the old one.
    // Statuses: kAudioHardwareBadObjectError for another object's ID, kAudioHardwareIllegalOperationError
    // for a null record or (RemoveClient) a client the device does not have,
    // kAudioHardwareUnspecifiedError when OnAddClient returns no record.

    virtual OSStatus AddClient(AudioObjectID inObjectID, const AudioServerPlugInClientInfo* inClientInfo);
    virtual OSStatus RemoveClient(AudioObjectID inObjectID, const AudioServerPlugInClientInfo* inClientInfo);

    // Readers of the client table: lock-free. GetClients copies the list and allocates; the other
    // two do not. A record returned here may outlive its removal for as long as it is held.
    UInt32 GetClientCount() const noexcept HAL_NONBLOCKING;
    std::vector<std::shared_ptr<Client>> GetClients() const;
    // Empty when the device has no client `clientID`.
    std::shared_ptr<Client> GetClientByID(UInt32 clientID) const noexcept HAL_NONBLOCKING;

    // ---- IO --------------------------------------------------------------------------------------
    //
    // StartIO and StopIO: under the IO mutex, always traced, never on the IO thread. The first
    // start calls OnStartIO (its failure goes back to the host and the device stays stopped) and
    // restarts the clock; the last stop calls OnStopIO; both transitions notify DeviceIsRunning. A
    // stop without a start is refused (kAudioHardwareIllegalOperationError) and changes nothing,
    // so OnStartIO and OnStopIO always alternate.

    virtual OSStatus StartIO(AudioObjectID inObjectID, UInt32 inClientID);
    virtual OSStatus StopIO(AudioObjectID inObjectID, UInt32 inClientID);

    // The IO operations of the real-time IO thread: under the IO mutex; traced only while the
    // RealtimeTracingEnabled parameter is set. Another object's ID gives kAudioHardwareBadObjectError.
    //
    // The device's clock: sample time 0 at the first StartIO, then one step of the zero time stamp
    // period per call once that period has passed on the host clock (a host that asks late
    // catches up one period per call). A change of the period or of the nominal sample rate
    // starts a new timeline there (sample time 0 at that moment) under the next seed; the seed
    // starts at 1. A null output is skipped.
    virtual OSStatus GetZeroTimeStamp(AudioObjectID inObjectID,
                                      UInt32 inClientID,
                                      Float64* outSampleTime,
                                      UInt64* outHostTime,
                                      UInt64* outSeed) HAL_NONBLOCKING;
    // Whether the device takes part in an IO operation, and in place. A null output is skipped.
    virtual OSStatus WillDoIOOperation(AudioObjectID inObjectID,
                                       UInt32 inClientID,
                                       UInt32 inOperationID,
                                       Boolean* outWillDo,
                                       Boolean* outWillDoInPlace) HAL_NONBLOCKING;
    // A null cycle info, and for DoIOOperation a null main buffer with a non-zero frame size, is
    // refused with kAudioHardwareIllegalOperationError before anything is traced or called.
    virtual OSStatus BeginIOOperation(AudioObjectID inObjectID,
                                      UInt32 inClientID,
                                      UInt32 inOperationID,
                                      UInt32 inIOBufferFrameSize,
                                      const AudioServerPlugInIOCycleInfo* inIOCycleInfo) HAL_NONBLOCKING;
    // Hands the operation to the IO handler; a stream the device does not have in its tables
    // gives kAudioHardwareIllegalOperationError and no handler call.
    virtual OSStatus DoIOOperation(AudioObjectID inObjectID,
                                   AudioObjectID inStreamObjectID,
                                   UInt32 inClientID,
                                   UInt32 inOperationID,
                                   UInt32 inIOBufferFrameSize,
                                   const AudioServerPlugInIOCycleInfo* inIOCycleInfo,
                                   void* ioMainBuffer,
                                   void* ioSecondaryBuffer) HAL_NONBLOCKING;
    virtual OSStatus EndIOOperation(AudioObjectID inObjectID,
                                    UInt32 inClientID,
                                    UInt32 inOperationID,
                                    UInt32 inIOBufferFrameSize,
                                    const AudioServerPlugInIOCycleInfo* inIOCycleInfo) HAL_NONBLOCKING;

    // ---- Configuration-change protocol ------------------------------------------------------------

    // Runs `change` now, on the calling thread (no owner, no host yet, or inside a change being
    // performed), and returns 0; or keeps it under the next request ID and asks the host, with
    // the write mutex held, to perform it. A host that refuses gets its change dropped (traced),
    // and its status is returned. A change run now that throws (an empty one throws
    // std::bad_function_call) throws to the caller.
    virtual OSStatus RequestConfigurationChange(std::function<void()> change);

    // Attaches the device to `owner` (shouldHaveOwner true; nothing when it already has an owner)
    // or detaches it from `owner` (false; nothing, traced, when `owner` is not its owner), and on
    // detaching applies
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
    // The status says whether the value was accepted (a host that refuses the change gives its
    // own status), not whether it has been stored yet. None of
    // them notifies the host: the host learns about the new shape from the change it performs.

    OSStatus SetLatencyAsync(UInt32 latency);
    OSStatus SetSafetyOffsetAsync(UInt32 safetyOffset);
    // A period of 0 frames would stall the device clock: kAudioHardwareIllegalOperationError.
    OSStatus SetZeroTimeStampPeriodAsync(UInt32 zeroTimeStampPeriod);
    // A rate that CheckNominalSampleRate refuses: its status, and nothing is requested.
    OSStatus SetNominalSampleRateAsync(Float64 nominalSampleRate);
    OSStatus SetAvailableSampleRatesAsync(std::vector<AudioValueRange> availableSampleRates);
    OSStatus SetPreferredChannelsForStereoAsync(std::array<UInt32, 2> channels);
    // Above kMaximumPreferredChannelCount: kAudioHardwareIllegalOperationError.
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

    // The largest preferred channel count the device accepts: the channels and the layout that
    // derive from the count hold that many descriptions.
    static constexpr UInt32 kMaximumPreferredChannelCount = 1024;

    // ---- Streams and controls ----------------------------------------------------------------------
    //
    // Adding and removing hold the write mutex, are traced, and go through the configuration-
    // change protocol (see Members above). A null member, adding one the device already holds and
    // removing one it does not hold are traced and change nothing. When the host refuses the
    // change, an addition or a control's removal is undone in the tables at once.
    //
    // A stream made from a direction is 16-bit signed integer linear PCM at the nominal sample
    // rate with the preferred channel count, its first channel following the channels of the
    // direction's streams so far. A control made from a scope has the raw range 0 to 96 over
    // -96 dB to 0 dB. The forms that make a stream need a shared reference to the device itself
    // (std::bad_weak_ptr otherwise).

    std::shared_ptr<Stream> AddStreamAsync(Direction direction);
    std::shared_ptr<Stream> AddStreamAsync(const StreamParameters& parameters);
    void AddStreamAsync(std::shared_ptr<Stream> stream);
    // A stream with a volume and a mute control of its direction's scope, attached to it; three
    // changes, requested in that order.
    std::shared_ptr<Stream> AddStreamWithControlsAsync(Direction direction);
    std::shared_ptr<Stream> AddStreamWithControlsAsync(const StreamParameters& parameters);
    void RemoveStreamAsync(std::shared_ptr<Stream> stream);

    std::shared_ptr<VolumeControl> AddVolumeControlAsync(AudioObjectPropertyScope scope);
    std::shared_ptr<VolumeControl> AddVolumeControlAsync(const VolumeControlParameters& parameters);
    // Attaches the control to no stream.
    void AddVolumeControlAsync(std::shared_ptr<VolumeControl> volumeControl);
    void RemoveVolumeControlAsync(std::shared_ptr<VolumeControl> volumeControl);

    std::shared_ptr<MuteControl> AddMuteControlAsync(AudioObjectPropertyScope scope);
    std::shared_ptr<MuteControl> AddMuteControlAsync(const MuteControlParameters& parameters);
    // Attaches the control to no stream.
    void AddMuteControlAsync(std::shared_ptr<MuteControl> muteControl);
    void RemoveMuteControlAsync(std::shared_ptr<MuteControl> muteControl);

    // Lookups in the member tables: lock-free and allocation-free. By index in the order of adding
    // within the direction or scope; empty for an index past the end or an unknown ID.
    UInt32 GetStreamCount(Direction direction) const noexcept HAL_NONBLOCKING;
    std::shared_ptr<Stream> GetStreamByIndex(Direction direction, UInt32 index) const noexcept HAL_NONBLOCKING;
    std::shared_ptr<Stream> GetStreamByID(AudioObjectID streamID) const noexcept HAL_NONBLOCKING;
    UInt32 GetVolumeControlCount(AudioObjectPropertyScope scope) const noexcept HAL_NONBLOCKING;
    std::shared_ptr<VolumeControl> GetVolumeControlByIndex(AudioObjectPropertyScope scope,
                                                           UInt32 index) const noexcept HAL_NONBLOCKING;
    std::shared_ptr<VolumeControl> GetVolumeControlByID(AudioObjectID controlID) const noexcept HAL_NONBLOCKING;
    UInt32 GetMuteControlCount(AudioObjectPropertyScope scope) const noexcept HAL_NONBLOCKING;
    std::shared_ptr<MuteControl> GetMuteControlByIndex(AudioObjectPropertyScope scope,
                                                       UInt32 index) const noexcept HAL_NONBLOCKING;
    std::shared_ptr<MuteControl> GetMuteControlByID(AudioObjectID controlID) const noexcept HAL_NONBLOCKING;

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

    // ---- IO steps ------------------------------------------------------------------------------
    //
    // The work of the host's IO calls, after the outer operation has checked the object ID (and
    // the host's pointers), locked and begun its trace. The Get/WillDo/Begin/Do/End steps run on
    // the real-time IO thread under the IO mutex and must stay real-time safe when overridden.

    // `startCount` is the count before this start. On the first start: OnStartIO, then the clock
    // restarts at sample time 0. A non-zero status leaves the device stopped.
    virtual OSStatus StartIOImpl(UInt32 clientID, SInt32 startCount);
    // `startCount` is the count after this stop. On the last stop: OnStopIO.
    virtual OSStatus StopIOImpl(UInt32 clientID, SInt32 startCount);
    // The clock described at GetZeroTimeStamp; the outputs are never null. A nominal rate that is
    // not a positive number, or too low to give host times, gives kAudioHardwareIllegalOperationError.
    virtual OSStatus GetZeroTimeStampImpl(UInt32 clientID,
                                          Float64* outSampleTime,
                                          UInt64* outHostTime,
                                          UInt64* outSeed) HAL_NONBLOCKING;
    // Sets both answers to true for the operations the device does (given false, never null):
    // ReadInput and ProcessInput with input streams; with output streams MixOutput when mixing
    // is off, ProcessMix and WriteMix when it is on. The stream counts are those of the owned
    // streams.
    virtual OSStatus WillDoIOOperationImpl(UInt32 clientID,
                                           UInt32 operationID,
                                           Boolean* outWillDo,
                                           Boolean* outWillDoInPlace) HAL_NONBLOCKING;
    // Nothing; 0.
    virtual OSStatus BeginIOOperationImpl(UInt32 clientID,
                                          UInt32 operationID,
                                          UInt32 frameSize,
                                          const AudioServerPlugInIOCycleInfo& cycleInfo) HAL_NONBLOCKING;
    // Routes the operation to the IO handler with the client (empty when unknown), the stream, the
    // latest zero time stamp, the cycle's input or output time and the buffer in frames and
    // channels or in bytes. The secondary buffer is not used.
    virtual OSStatus DoIOOperationImpl(AudioObjectID streamID,
                                       UInt32 clientID,
                                       UInt32 operationID,
                                       UInt32 frameSize,
                                       const AudioServerPlugInIOCycleInfo& cycleInfo,
                                       void* mainBuffer,
                                       void* secondaryBuffer) HAL_NONBLOCKING;
    // Nothing; 0.
    virtual OSStatus EndIOOperationImpl(UInt32 clientID,
                                        UInt32 operationID,
                                        UInt32 frameSize,
                                        const AudioServerPlugInIOCycleInfo& cycleInfo) HAL_NONBLOCKING;

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

    // The handler a slot holds, owned or not; never null. Read under a ReadLock of the slot, and
    // called while that lock is held, so that a replacement waits for the call to end.
    template <class Handler>
    static Handler& HandlerIn(const std::variant<std::shared_ptr<Handler>, Handler*>& slot) noexcept HAL_NONBLOCKING
    {
        if (const auto* owned = std::get_if<std::shared_ptr<Handler>>(&slot)) {
            return **owned;
        }
        return **std::get_if<Handler*>(&slot);
    }

    // One kind of member: by direction or scope (in the order of adding) and by object ID.
    template <class Member, class Group>
    struct MemberTables
    {
        DoubleBuffer<std::unordered_map<Group, std::vector<std::shared_ptr<Member>>>> ByGroup{{}};
        DoubleBuffer<std::unordered_map<AudioObjectID, std::shared_ptr<Member>>> ByID{{}};
    };

    // The member operations of the two control kinds, which differ only in their tables and names
    // (DeviceMembers.cpp).
    template <class Control>
    void AddControlAsync(MemberTables<Control, AudioObjectPropertyScope>& tables,
                         const char* operationName,
                         std::shared_ptr<Control> control);
    template <class Control>
    void RemoveControlAsync(MemberTables<Control, AudioObjectPropertyScope>& tables,
                            const char* operationName,
                            std::shared_ptr<Control> control);
    // Brings the stream counts in line with the owned streams. Under the write mutex.
    void CountOwnedStreams();

    // The frame of BeginIOOperation and EndIOOperation (DeviceIO.cpp): checks the cycle info,
    // locks the IO mutex, traces `name` when real-time tracing is on, checks the object ID, then
    // returns `step(cycle info)`.
    template <class Step>
    OSStatus RunBracketOperation(const char* name,
                                 AudioObjectID inObjectID,
                                 const AudioServerPlugInIOCycleInfo* inIOCycleInfo,
                                 Step&& step) HAL_NONBLOCKING;

    // The device's clock, touched only under the IO mutex.
    struct Clock
    {
        Float64 HostTicksPerFrame = 0.0;
        // The nominal rate and the period the timeline is built on; a rate of 0 means that no
        // timeline has been built since the last start.
        Float64 SampleRate = 0.0;
        UInt32 Period = 0;
        UInt64 AnchorHostTime = 0;
        // Whole periods elapsed since the anchor, as far as the host has asked.
        UInt64 PeriodCount = 0;
        // The latest zero time stamp; the IO handler is given its sample time.
        Float64 LastSampleTime = 0.0;
        UInt64 LastHostTime = 0;
        // Changes with every new timeline but the one a start begins.
        UInt64 Seed = 1;
    };

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

    MemberTables<Stream, Direction> mStreams;
    MemberTables<VolumeControl, AudioObjectPropertyScope> mVolumeControls;
    MemberTables<MuteControl, AudioObjectPropertyScope> mMuteControls;
    // Changed only by AddClient and RemoveClient.
    DoubleBuffer<std::unordered_map<UInt32, std::shared_ptr<Client>>> mClientsByID{{}};

    DoubleBuffer<ControlHandlerSlot> mControlHandler{ControlHandlerSlot{}};
    DoubleBuffer<IOHandlerSlot> mIOHandler{IOHandlerSlot{}};

    // Guarded by mWriteMutex. Keyed by request ID, so that a detach applies the oldest first.
    std::map<UInt64, std::function<void()>> mPendingChanges;
    // Never reused during the device's life.
    UInt64 mNextRequestID = 0;
    // Above 0 while PerformConfigurationChange runs a change.
    UInt64 mPerformDepth = 0;

    // Serialises StartIO, StopIO and every IO operation. Recursive, so that a handler called
    // under it may reach the device's IO operations again.
    std::recursive_mutex mIOMutex;
    Clock mClock;

    static_assert(std::atomic<UInt32>::is_always_lock_free && std::atomic<SInt32>::is_always_lock_free
                      && std::atomic<bool>::is_always_lock_free
                      && std::atomic<Float64>::is_always_lock_free,
                  "the IO thread reads these fields; reading them must not take a lock");
};

} // namespace hal
