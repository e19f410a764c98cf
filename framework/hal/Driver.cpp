// hal::Driver: the interface table, the plug-in model's IUnknown part, initialisation, and the
// refusal of dynamically created devices.

#include "hal/Driver.h"

#include "hal/Bridge.h"
#include "hal/Context.h"
#include "hal/Plugin.h"
#include "hal/Storage.h"
#include "hal/Tracer.h"

#include <utility>

namespace hal {

namespace {

std::shared_ptr<Context> ContextOrDefault(std::shared_ptr<Context> context)
{
    return context != nullptr ? std::move(context) : std::make_shared<Context>();
}

Tracer& TracerOf(const Driver& driver)
{
    // The plug-in holds its context for its whole life, and the context its tracer.
    return *driver.GetPlugin()->GetContext()->Tracer;
}

bool IsInterfaceOfThisDriver(REFIID inUUID)
{
    const CFUUIDRef requested = CFUUIDCreateFromUUIDBytes(kCFAllocatorDefault, inUUID);
    if (requested == nullptr) {
        return false;
    }
    const bool isKnown = CFEqual(requested, IUnknownUUID) || CFEqual(requested, kAudioServerPlugInDriverInterfaceUUID);
    CFRelease(requested);
    return isKnown;
}

// The entries never let an exception reach the host, which would end the audio server.
template <class Result, class Work>
Result Guarded(Result failure, Work&& work) noexcept
{
    try {
        return std::forward<Work>(work)();
    } catch (...) {
        return failure;
    }
}

} // namespace

// ---- Construction ------------------------------------------------------------------------------------

Driver::Driver(std::shared_ptr<Context> context, std::shared_ptr<Plugin> plugin, std::shared_ptr<Storage> storage)
    : mContext(ContextOrDefault(std::move(context)))
    , mPlugin(plugin != nullptr ? std::move(plugin) : MakeObject<Plugin>(mContext))
    , mStorage(storage != nullptr ? std::move(storage) : std::make_shared<Storage>(mContext))
    , mInterface{
          ._reserved = nullptr,
          .QueryInterface = &Driver::QueryInterface,
          .AddRef = &Driver::AddRef,
          .Release = &Driver::Release,
          .Initialize = &Driver::InitializeJumper,
          .CreateDevice = &Driver::CreateDeviceJumper,
          .DestroyDevice = &Driver::DestroyDeviceJumper,
          .AddDeviceClient = &Bridge::AddClient,
          .RemoveDeviceClient = &Bridge::RemoveClient,
          .PerformDeviceConfigurationChange = &Bridge::PerformConfigurationChange,
          .AbortDeviceConfigurationChange = &Bridge::AbortConfigurationChange,
          .HasProperty = &Bridge::HasProperty,
          .IsPropertySettable = &Bridge::IsPropertySettable,
          .GetPropertyDataSize = &Bridge::GetPropertyDataSize,
          .GetPropertyData = &Bridge::GetPropertyData,
          .SetPropertyData = &Bridge::SetPropertyData,
          .StartIO = &Bridge::StartIO,
          .StopIO = &Bridge::StopIO,
          .GetZeroTimeStamp = &Bridge::GetZeroTimeStamp,
          .WillDoIOOperation = &Bridge::WillDoIOOperation,
          .BeginIOOperation = &Bridge::BeginIOOperation,
          .DoIOOperation = &Bridge::DoIOOperation,
          .EndIOOperation = &Bridge::EndIOOperation,
      }
    , mReference{&mInterface, this}
{
    SetDriverHandler(std::shared_ptr<DriverRequestHandler>());
    TracerOf(*this).Message("Driver::Driver()");
}

Driver::~Driver()
{
    TracerOf(*this).Message("Driver::~Driver()");
}

// ---- Accessors ---------------------------------------------------------------------------------------

AudioServerPlugInDriverRef Driver::GetReference() noexcept
{
    return &mReference.Interface;
}

Driver* Driver::GetDriver(AudioServerPlugInDriverRef reference) noexcept HAL_NONBLOCKING
{
    if (reference == nullptr) {
        return nullptr;
    }
    // The reference is the address of mReference, whose first field it names.
    return reinterpret_cast<const Reference*>(reference)->Owner;
}

Driver* Driver::FromUntyped(void* inDriver) noexcept
{
    return GetDriver(static_cast<AudioServerPlugInDriverRef>(inDriver));
}

void Driver::SetDriverHandler(std::shared_ptr<DriverRequestHandler> handler)
{
    mDriverHandler.Set(HandlerSlot{std::in_place_index<0>, std::move(handler)});
}

void Driver::SetDriverHandler(DriverRequestHandler* handler)
{
    mDriverHandler.Set(HandlerSlot{std::in_place_index<1>, handler});
}

// ---- Driver-level operations ---------------------------------------------------------------------------

OSStatus Driver::Initialize()
{
    // A copy: an owned handler stays alive for the call even if it is replaced meanwhile.
    const HandlerSlot slot = mDriverHandler.Get();
    DriverRequestHandler* handler = slot.index() == 0 ? std::get<0>(slot).get() : std::get<1>(slot);
    return handler != nullptr ? handler->OnInitialize() : 0;
}

OSStatus Driver::CreateDevice(CFDictionaryRef /*inDescription*/, const AudioServerPlugInClientInfo* /*inClientInfo*/,
                              AudioObjectID* /*outDeviceObjectID*/)
{
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus Driver::DestroyDevice(AudioObjectID /*inDeviceObjectID*/)
{
    return kAudioHardwareUnsupportedOperationError;
}

// ---- Entries of the interface table ------------------------------------------------------------------

HRESULT Driver::QueryInterface(void* inDriver, REFIID inUUID, LPVOID* outInterface)
{
    return Guarded<HRESULT>(E_NOINTERFACE, [&]() -> HRESULT {
        Driver* driver = FromUntyped(inDriver);
        if (driver == nullptr) {
            return E_NOINTERFACE;
        }
        Tracer& tracer = TracerOf(*driver);
        if (outInterface == nullptr || !IsInterfaceOfThisDriver(inUUID)) {
            tracer.Message("Driver::QueryInterface() E_NOINTERFACE");
            return E_NOINTERFACE;
        }
        *outInterface = driver->GetReference();
        const UInt32 count = driver->mReferenceCounter.fetch_add(1, std::memory_order_acq_rel) + 1;
        tracer.Message("Driver::QueryInterface() S_OK refCounter=%lu", static_cast<unsigned long>(count));
        return S_OK;
    });
}

ULONG Driver::AddRef(void* inDriver)
{
    return Guarded<ULONG>(0, [&]() -> ULONG {
        Driver* driver = FromUntyped(inDriver);
        if (driver == nullptr) {
            return 0;
        }
        const UInt32 count = driver->mReferenceCounter.fetch_add(1, std::memory_order_acq_rel) + 1;
        TracerOf(*driver).Message("Driver::AddRef() refCounter=%lu", static_cast<unsigned long>(count));
        return count;
    });
}

ULONG Driver::Release(void* inDriver)
{
    return Guarded<ULONG>(0, [&]() -> ULONG {
        Driver* driver = FromUntyped(inDriver);
        if (driver == nullptr) {
            return 0;
        }
        // Informational only: the host never releases a plug-in it opened, and reaching 0 frees
        // nothing. Below 0 it wraps, as the counter is unsigned.
        const UInt32 count = driver->mReferenceCounter.fetch_sub(1, std::memory_order_acq_rel) - 1;
        TracerOf(*driver).Message("Driver::Release() refCounter=%lu", static_cast<unsigned long>(count));
        return count;
    });
}

OSStatus Driver::InitializeJumper(AudioServerPlugInDriverRef inDriver, AudioServerPlugInHostRef inHost)
{
    return Guarded<OSStatus>(kAudioHardwareUnspecifiedError, [&]() -> OSStatus {
        Driver* driver = GetDriver(inDriver);
        if (driver == nullptr) {
            return kAudioHardwareUnspecifiedError;
        }
        TracerOf(*driver).Message("Driver::Initialize()");
        driver->mContext->Host.store(inHost, std::memory_order_release);
        return driver->Initialize();
    });
}

OSStatus Driver::CreateDeviceJumper(AudioServerPlugInDriverRef inDriver, CFDictionaryRef inDescription,
                                    const AudioServerPlugInClientInfo* inClientInfo, AudioObjectID* outDeviceObjectID)
{
    return Guarded<OSStatus>(kAudioHardwareUnspecifiedError, [&]() -> OSStatus {
        Driver* driver = GetDriver(inDriver);
        if (driver == nullptr) {
            return kAudioHardwareUnspecifiedError;
        }
        TracerOf(*driver).Message("Driver::CreateDevice()");
        return driver->CreateDevice(inDescription, inClientInfo, outDeviceObjectID);
    });
}

OSStatus Driver::DestroyDeviceJumper(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID)
{
    return Guarded<OSStatus>(kAudioHardwareUnspecifiedError, [&]() -> OSStatus {
        Driver* driver = GetDriver(inDriver);
        if (driver == nullptr) {
            return kAudioHardwareUnspecifiedError;
        }
        TracerOf(*driver).Message("Driver::DestroyDevice()");
        return driver->DestroyDevice(inDeviceObjectID);
    });
}

} // namespace hal
