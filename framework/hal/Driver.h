#pragma once

// hal::Driver: what the audio server holds on to. The server knows the plug-in only through the
// driver reference, a pointer to a pointer to the platform's table of entry points
// (AudioServerPlugInDriverInterface). The driver owns that table, answers the plug-in model's
// interface query and reference counting, stores the host interface in the shared context when
// the host initialises it, and refuses dynamic device creation; every object-level entry of the
// table belongs to hal::Bridge. The driver also owns the top of the object tree: the context, the
// plug-in object (ID 1) and the storage.
//
// Entries. Every static entry recovers the driver from the reference it is given, without any
// global lookup: the reference is the address of a small record whose first field is the table
// pointer and whose second names the driver. A null reference is answered before anything is
// read (kAudioHardwareUnspecifiedError, E_NOINTERFACE, or 0 for the counters). No entry lets an
// exception out: one that escapes ends as kAudioHardwareUnspecifiedError (E_NOINTERFACE, 0).
//
// Threads: any entry from any host thread at once. The reference counter is atomic and only
// informational: nothing is freed when it reaches 0 (the host never releases a plug-in it
// opened). The host pointer is stored with release order; its users load it with acquire order.
// The driver handler is replaced through a DoubleBuffer and read without waiting. The table, the
// reference and the three owned references are fixed at construction.
//
// Messages go through the tracer of the plug-in's context; the driver traces no operations.
//
// Lifetime: the application keeps the driver in a shared reference for the life of the process;
// the host's reference count does not own it. The driver must not move (it is not copyable), so
// the reference it hands out stays valid for as long as it lives.

#include "hal/DoubleBuffer.h"
#include "hal/DriverRequestHandler.h"
#include "hal/RealTime.h"

#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <memory>
#include <type_traits>
#include <variant>

namespace hal {

class Context;
class Plugin;
class Storage;

class Driver
{
public:
    // Builds what is not given, in this order: a context with its defaults, a plug-in object on
    // it with default parameters, a storage on it.
    explicit Driver(std::shared_ptr<Context> context = {}, std::shared_ptr<Plugin> plugin = {},
                    std::shared_ptr<Storage> storage = {});
    virtual ~Driver();

    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // ---- Accessors: any thread, at any time -----------------------------------------------------

    // The context the driver was built with (or built itself), which the plug-in and the storage
    // share unless the application gave them another.
    std::shared_ptr<const Context> GetContext() const { return mContext; }
    // The same, without the reference-count changes of a copy: the bridge's lookups on the IO
    // thread. Valid as long as the driver lives.
    const Context& GetContextInPlace() const noexcept HAL_NONBLOCKING { return *mContext; }
    std::shared_ptr<Plugin> GetPlugin() const { return mPlugin; }
    std::shared_ptr<Storage> GetStorage() const { return mStorage; }

    const AudioServerPlugInDriverInterface* GetPluginInterface() const noexcept { return &mInterface; }
    // What the plug-in factory hands to the host.
    AudioServerPlugInDriverRef GetReference() noexcept;
    // The driver that handed out `reference`; null for a null reference.
    static Driver* GetDriver(AudioServerPlugInDriverRef reference) noexcept HAL_NONBLOCKING;

    // The application's hook for initialisation: owned, or kept alive by the caller. A concurrent
    // Initialize sees the old handler or the new one, whole. Not for the IO thread.
    void SetDriverHandler(std::shared_ptr<DriverRequestHandler> handler);
    void SetDriverHandler(DriverRequestHandler* handler);

    // ---- The host's driver-level operations -----------------------------------------------------

    // After the host has been stored: the handler's OnInitialize, or 0 without one.
    virtual OSStatus Initialize();
    // No dynamically created devices: kAudioHardwareUnsupportedOperationError.
    virtual OSStatus CreateDevice(CFDictionaryRef inDescription, const AudioServerPlugInClientInfo* inClientInfo,
                                  AudioObjectID* outDeviceObjectID);
    virtual OSStatus DestroyDevice(AudioObjectID inDeviceObjectID);

    // ---- Entries of the interface table -------------------------------------------------------

    // The IUnknown interface and the driver interface are both this driver's reference; the
    // counter counts each success. Anything else, or a null out pointer: E_NOINTERFACE, nothing
    // written, the counter unchanged.
    static HRESULT QueryInterface(void* inDriver, REFIID inUUID, LPVOID* outInterface);
    // The new counter value; it wraps in 32 bits.
    static ULONG AddRef(void* inDriver);
    static ULONG Release(void* inDriver);
    static OSStatus InitializeJumper(AudioServerPlugInDriverRef inDriver, AudioServerPlugInHostRef inHost);
    static OSStatus CreateDeviceJumper(AudioServerPlugInDriverRef inDriver, CFDictionaryRef inDescription,
                                       const AudioServerPlugInClientInfo* inClientInfo,
                                       AudioObjectID* outDeviceObjectID);
    static OSStatus DestroyDeviceJumper(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID);

private:
    using HandlerSlot = std::variant<std::shared_ptr<DriverRequestHandler>, DriverRequestHandler*>;

    // What the driver reference points at: the table pointer first, as the platform reads it,
    // then the way back to the driver.
    struct Reference
    {
        AudioServerPlugInDriverInterface* Interface;
        Driver* Owner;
    };
    static_assert(std::is_standard_layout_v<Reference>, "the host reads the first field as the table pointer");

    static Driver* FromUntyped(void* inDriver) noexcept;

    const std::shared_ptr<Context> mContext;
    const std::shared_ptr<Plugin> mPlugin;
    const std::shared_ptr<Storage> mStorage;
    DoubleBuffer<HandlerSlot> mDriverHandler{HandlerSlot{}};
    AudioServerPlugInDriverInterface mInterface;
    Reference mReference;
    std::atomic<UInt32> mReferenceCounter{0};
};

} // namespace hal
