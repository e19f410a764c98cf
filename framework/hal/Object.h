#pragma once

// hal::Object: the base of every object that the host can address by ID. It gives each object an
// identity (an ID from the dispatcher and a class name for messages), a place in the ownership
// tree (one owner, owned objects grouped by scope), the base property protocol (class, base
// class, owner, owned objects, custom property list), the custom-property fallback behind it, and
// property-change notification to the host.
//
// Creation: only through hal::MakeObject. The constructor registers the object, so its ID is
// known from then on, but the registration stays unpublished (lookups answer "is dying") until
// MakeObject has a shared reference owning the object and publishes it. An object built any other
// way is never findable by ID. The base constructor is protected; a derived class that hides its
// own befriends MakeObject.
//
// Ownership: each object is listed by at most one owner, which co-owns it; the owner link back is
// a plain pointer plus the owner's ID. An object that outlives its owner keeps reporting that
// owner's ID, but the destroyed owner clears the pointer first, so a later move never touches it.
//
// Threads: the property operations, GetOwnedObjectIDs, GetOwnerID, GetCustomProperties and
// NotifyPropertiesChanged run on any host thread and take no mutex: lists are read through the
// read side of DoubleBuffers, the owner ID is atomic. They allocate (the lists they return,
// message text, the notification's address array) and are not for the real-time IO thread.
// AddOwnedObject, RemoveOwnedObject and RegisterCustomProperty hold this object's write mutex and
// may wait for other writers and for readers of the lists they replace.
//
// Lock order: an owner's write mutex before the write mutex of an object it owns, never the other
// way round. A move from one owner to another takes the previous owner's mutex (to leave it)
// before, and never while, holding the new owner's, so two objects moved in opposite directions
// between the same two owners at once cannot deadlock. RemoveOwnedObject destroys an object whose
// last reference it held after releasing the owner's mutex; a destructor takes the write mutex of
// each object it still owns, briefly, and no other.
//
// Errors reach the caller as statuses: no property operation lets an exception out. Each class
// declares its properties in one table (PropertyProtocol.h) and answers its five property
// operations through AnswerHasProperty and its four siblings, which give it that guarantee and
// the same trace frame as the base.

#include "hal/CustomProperty.h"
#include "hal/DoubleBuffer.h"
#include "hal/PropertyProtocol.h"
#include "hal/Tracer.h"

#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CoreFoundation.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

namespace hal {

class Context;
class Object;

// Creates a T (an Object or a class derived from it) inside a shared reference and then makes it
// findable by ID. The only way objects are meant to be created: the dispatcher's lookups must not
// see an object before a shared reference owns it.
template <class T, class... Arguments>
std::shared_ptr<T> MakeObject(Arguments&&... arguments);

class Object : public std::enable_shared_from_this<Object>
{
public:
    using CustomProperty = hal::CustomProperty;

    // The typed callbacks of a custom property. Pass these types (not bare lambdas, which fit
    // both kinds) to RegisterCustomProperty to choose the kind of property.
    using StringGetter = std::function<CFStringRef()>;
    using StringSetter = std::function<void(CFStringRef)>;
    using PropertyListGetter = std::function<CFPropertyListRef()>;
    using PropertyListSetter = std::function<void(CFPropertyListRef)>;

    // Owned objects by scope, then by ID, both ascending.
    using OwnedObjectMap = std::map<AudioObjectPropertyScope, std::map<AudioObjectID, std::shared_ptr<Object>>>;
    using CustomPropertyMap = std::map<AudioObjectPropertySelector, std::shared_ptr<CustomProperty>>;

    virtual ~Object();

    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // ---- Identity ------------------------------------------------------------------------------

    std::shared_ptr<const Context> GetContext() const { return mContext; }
    AudioObjectID GetID() const noexcept { return mObjectID; }

    // The current owner's ID, kAudioObjectUnknown when there is none. An object that outlives its
    // owner keeps reporting that owner's ID. Lock-free.
    AudioObjectID GetOwnerID() const noexcept { return mOwnerID.load(std::memory_order_acquire); }
    bool HasOwner() const noexcept { return GetOwnerID() != kAudioObjectUnknown; }

    virtual AudioClassID GetClass() const;
    virtual AudioClassID GetBaseClass() const;
    virtual bool IsInstance(AudioClassID classID) const;

    // ---- Ownership -----------------------------------------------------------------------------

    // IDs of the owned objects under `scope` ('glob' matches every scope), ordered by scope code
    // and then by ID; only instances of `classID` unless it is 0. An object owned under two scopes
    // is listed twice for 'glob'. Takes no mutex.
    std::vector<AudioObjectID> GetOwnedObjectIDs(AudioObjectPropertyScope scope, AudioClassID classID) const;

    // Adds `object` under `scope` and makes this object its owner. An object that another owner
    // holds leaves that owner first (it is listed by one owner at a time); one that this object
    // already owns moves to `scope`. Null or this object itself: a message, nothing changes.
    // Sends no notification.
    void AddOwnedObject(std::shared_ptr<Object> object, AudioObjectPropertyScope scope);

    // Takes the object `objectID` out of the first scope that holds it and clears its owner. If
    // this held the last reference, the object is destroyed before this returns. Not owned: a
    // message, nothing changes. Sends no notification.
    void RemoveOwnedObject(AudioObjectID objectID);

    // ---- Notification --------------------------------------------------------------------------

    // Tells the host that the properties `selectors` of this object changed in `scope` and
    // `element`. Skipped without a message when the list is empty or the host has not initialised
    // the driver yet; the host's status is ignored.
    void NotifyPropertiesChanged(const std::vector<AudioObjectPropertySelector>& selectors,
                                 AudioObjectPropertyScope scope, AudioObjectPropertyElement element) const;

    // ---- Custom properties ---------------------------------------------------------------------

    // Registers (or replaces) the custom property `selector`, a CFString ('cfst') or a property
    // list ('plst'), and returns true. Either callable may be empty: the property then cannot be
    // read, or written. A selector that the object answers itself (IsBuiltInProperty: 'clas', or
    // a device's 'nsrt') is refused with a message and false, and nothing is registered: the
    // built-in answer would shadow the custom one for every query but some of the sets.
    // A setter receives only a value of its kind, never null: the host's other values are refused
    // with 'nope' ("input value has the wrong type").
    // The callables run on the host's calling thread while the property map is read-locked: they
    // must not register custom properties on this object.
    bool RegisterCustomProperty(AudioObjectPropertySelector selector, StringGetter getter, StringSetter setter);
    bool RegisterCustomProperty(AudioObjectPropertySelector selector, PropertyListGetter getter,
                                PropertyListSetter setter);

    // One record per custom property, by ascending selector; no qualifiers.
    virtual std::vector<AudioServerPlugInCustomPropertyInfo> GetCustomProperties() const;

    // ---- Property protocol ---------------------------------------------------------------------
    // Each one is traced. Derived classes answer their own selectors and pass every other address
    // to the operation of the same name here, which answers the base selectors and hands the rest
    // to the custom properties. A null address is refused ('nope', or false); a null output
    // pointer is answered with success and nothing written.

    virtual Boolean HasProperty(AudioObjectID inObjectID, pid_t inClientProcessID,
                                const AudioObjectPropertyAddress* inAddress) const;
    virtual OSStatus IsPropertySettable(AudioObjectID inObjectID, pid_t inClientProcessID,
                                        const AudioObjectPropertyAddress* inAddress, Boolean* outIsSettable) const;
    virtual OSStatus GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientProcessID,
                                         const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                         const void* inQualifierData, UInt32* outDataSize) const;
    virtual OSStatus GetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                     const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                     const void* inQualifierData, UInt32 inDataSize, UInt32* outDataSize,
                                     void* outData) const;
    virtual OSStatus SetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                     const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                     const void* inQualifierData, UInt32 inDataSize, const void* inData);

protected:
    // `objectID` 0 asks the dispatcher for a new ID; the plug-in object passes 1. `className` is
    // static text naming the concrete class in messages ("Device"). Protected: create objects
    // with MakeObject.
    Object(std::shared_ptr<const Context> context, const char* className,
           AudioObjectID objectID = kAudioObjectUnknown);

    const char* GetClassName() const noexcept { return mClassName; }

    // The tracer of this object's context, which lives as long as the object. Inline: every
    // property operation starts here.
    Tracer& GetTracer() const noexcept { return mTracer; }

    // Whether this object answers `selector` itself, ahead of its custom properties: the base's
    // selectors here. A derived class that answers selectors of its own adds those of its table
    // and asks its base for the rest. RegisterCustomProperty refuses these selectors.
    virtual bool IsBuiltInProperty(AudioObjectPropertySelector selector) const;

    // ---- Answering the host from a table of properties --------------------------------------------
    //
    // The five property operations of every class, in one frame: each runs as the traced operation
    // `name` of this object, refuses a null address ("address is null"; false, or
    // kAudioHardwareIllegalOperationError), answers from `properties` (see PropertyProtocol.h) when
    // the object ID is this object's and the table lists the selector, and otherwise returns what
    // `askBase()` answers: the same operation of the base class. Setting a row without a setter
    // goes to the base too. Nothing throws to the caller; a yes/no answer has no status to carry a
    // failure, so HasProperty ends as "no", with status 0. `Owner` is the class of the table, this
    // object's own class or one of its bases.

    template <class Owner, std::size_t Count, class AskBase>
    Boolean AnswerHasProperty(const char* name, const PropertyProtocol::Table<Owner, Count>& properties,
                              AudioObjectID inObjectID, pid_t inClientProcessID,
                              const AudioObjectPropertyAddress* inAddress, AskBase&& askBase) const noexcept
    {
        Tracer& tracer = GetTracer();
        const Tracer::Operation operation{.Name = name,
                                          .Flags = Tracer::Operation::ReadOnly,
                                          .ObjectID = GetID(),
                                          .ClientPID = inClientProcessID,
                                          .PropertyAddress = inAddress};
        Boolean hasProperty = false;
        PropertyProtocol::RunTraced(tracer, operation, [&]() -> OSStatus {
            if (inAddress == nullptr) {
                tracer.Message("address is null");
            } else if (const auto* property = FindOwnProperty(properties, inObjectID, *inAddress)) {
                hasProperty = PropertyProtocol::AnswerHasProperty(tracer, property->Scope, inAddress->mScope);
            } else {
                hasProperty = askBase();
            }
            return kAudioHardwareNoError;
        });
        return hasProperty;
    }

    template <class Owner, std::size_t Count, class AskBase>
    OSStatus AnswerIsPropertySettable(const char* name,
                                      const PropertyProtocol::Table<Owner, Count>& properties,
                                      AudioObjectID inObjectID, pid_t inClientProcessID,
                                      const AudioObjectPropertyAddress* inAddress, Boolean* outIsSettable,
                                      AskBase&& askBase) const noexcept
    {
        return RunTableOperation({.Name = name,
                                  .Flags = Tracer::Operation::ReadOnly,
                                  .ClientPID = inClientProcessID,
                                  .PropertyAddress = inAddress},
                                 properties, inObjectID, askBase,
                                 [&](const PropertyProtocol::Property<Owner>& property, Tracer& tracer) {
            return PropertyProtocol::AnswerIsPropertySettable(tracer, property.Data.Write != nullptr, outIsSettable);
        });
    }

    template <class Owner, std::size_t Count, class AskBase>
    OSStatus AnswerGetPropertyDataSize(const char* name,
                                       const PropertyProtocol::Table<Owner, Count>& properties,
                                       AudioObjectID inObjectID, pid_t inClientProcessID,
                                       const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                       const void* inQualifierData, UInt32* outDataSize, AskBase&& askBase) const noexcept
    {
        return RunTableOperation({.Name = name,
                                  .Flags = Tracer::Operation::ReadOnly,
                                  .ClientPID = inClientProcessID,
                                  .PropertyAddress = inAddress,
                                  .QualifierDataSize = inQualifierDataSize,
                                  .QualifierData = inQualifierData,
                                  .OutDataSize = outDataSize},
                                 properties, inObjectID, askBase,
                                 [&](const PropertyProtocol::Property<Owner>& property, Tracer& tracer) {
            return PropertyProtocol::AnswerGetPropertyDataSize(property, static_cast<const Owner&>(*this), tracer,
                                                               *inAddress, outDataSize);
        });
    }

    template <class Owner, std::size_t Count, class AskBase>
    OSStatus AnswerGetPropertyData(const char* name, const PropertyProtocol::Table<Owner, Count>& properties,
                                   AudioObjectID inObjectID, pid_t inClientProcessID,
                                   const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                   const void* inQualifierData, UInt32 inDataSize, UInt32* outDataSize, void* outData,
                                   AskBase&& askBase) const noexcept
    {
        return RunTableOperation({.Name = name,
                                  .Flags = Tracer::Operation::ReadOnly,
                                  .ClientPID = inClientProcessID,
                                  .PropertyAddress = inAddress,
                                  .QualifierDataSize = inQualifierDataSize,
                                  .QualifierData = inQualifierData,
                                  .InDataSize = inDataSize,
                                  .OutDataSize = outDataSize,
                                  .OutData = outData},
                                 properties, inObjectID, askBase,
                                 [&](const PropertyProtocol::Property<Owner>& property, Tracer& tracer) {
            const PropertyProtocol::ReadRequest request{inAddress,  inQualifierDataSize, inQualifierData,
                                                        inDataSize, outDataSize,         outData};
            return property.Data.Read(static_cast<const Owner&>(*this), tracer, property.Name, request);
        });
    }

    template <class Owner, std::size_t Count, class AskBase>
    OSStatus AnswerSetPropertyData(const char* name, const PropertyProtocol::Table<Owner, Count>& properties,
                                   AudioObjectID inObjectID, pid_t inClientProcessID,
                                   const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                   const void* inQualifierData, UInt32 inDataSize, const void* inData,
                                   AskBase&& askBase) noexcept
    {
        return RunTableOperation({.Name = name,
                                  .Flags = 0,
                                  .ClientPID = inClientProcessID,
                                  .PropertyAddress = inAddress,
                                  .QualifierDataSize = inQualifierDataSize,
                                  .QualifierData = inQualifierData,
                                  .InDataSize = inDataSize,
                                  .InData = inData},
                                 properties, inObjectID, askBase,
                                 [&](const PropertyProtocol::Property<Owner>& property, Tracer& tracer) {
            // A row without a setter is not settable here; the base decides.
            if (property.Data.Write == nullptr) {
                return askBase();
            }
            return property.Data.Write(static_cast<Owner&>(*this), tracer, property.Name, inDataSize, inData);
        });
    }

private:
    template <class T, class... Arguments>
    friend std::shared_ptr<T> MakeObject(Arguments&&... arguments);

    // MakeObject's second step: makes `object`'s registration findable through the reference.
    static void Publish(const std::shared_ptr<Object>& object);

    // Leaves the current owner, if any, so that a new owner can take this object without holding
    // its own write mutex while the previous owner's is taken. Called with no mutex held.
    void DetachFromPreviousOwner();
    // Sets the owner fields. Called by the new owner with its own and this object's write mutex held.
    void AttachOwner(Object& owner);
    // Clears the owner fields, under this object's write mutex. Called by the owner, under its own.
    void DetachOwner();

    // The frame of every property operation but HasProperty: runs as the traced operation
    // `operation` of this object (its ObjectID is filled in here), refuses a null address
    // ("address is null", kAudioHardwareIllegalOperationError), and then returns
    // `answerRow(row, tracer)` for the row of this object's ID and the address's selector, or
    // `askBase()` when there is none.
    template <class Owner, std::size_t Count, class AskBase, class AnswerRow>
    OSStatus RunTableOperation(Tracer::Operation operation, const PropertyProtocol::Table<Owner, Count>& properties,
                               AudioObjectID inObjectID, AskBase&& askBase, AnswerRow&& answerRow) const noexcept
    {
        operation.ObjectID = GetID();
        Tracer& tracer = GetTracer();
        return PropertyProtocol::RunTraced(tracer, operation, [&]() -> OSStatus {
            if (operation.PropertyAddress == nullptr) {
                tracer.Message("address is null");
                return kAudioHardwareIllegalOperationError;
            }
            const auto* property = FindOwnProperty(properties, inObjectID, *operation.PropertyAddress);
            if (property == nullptr) {
                return askBase();
            }
            return answerRow(*property, tracer);
        });
    }

    // The row that answers `address` for this object, or null: another object's ID, or a
    // selector that the table does not list.
    template <class Owner, std::size_t Count>
    const PropertyProtocol::Property<Owner>* FindOwnProperty(
        const PropertyProtocol::Table<Owner, Count>& properties, AudioObjectID inObjectID,
        const AudioObjectPropertyAddress& address) const noexcept
    {
        static_assert(std::is_base_of_v<Object, Owner>);
        return inObjectID == GetID() ? properties.Find(address.mSelector) : nullptr;
    }

    // The custom-property fallbacks that take what no class answers. Run inside the traced
    // operation of the same name, whose message lines they print.

    Boolean HasPropertyFallback(AudioObjectID inObjectID, pid_t inClientProcessID,
                                const AudioObjectPropertyAddress* inAddress) const;
    OSStatus IsPropertySettableFallback(AudioObjectID inObjectID, pid_t inClientProcessID,
                                        const AudioObjectPropertyAddress* inAddress, Boolean* outIsSettable) const;
    OSStatus GetPropertyDataSizeFallback(AudioObjectID inObjectID, pid_t inClientProcessID,
                                         const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                         const void* inQualifierData, UInt32* outDataSize) const;
    OSStatus GetPropertyDataFallback(AudioObjectID inObjectID, pid_t inClientProcessID,
                                     const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                     const void* inQualifierData, UInt32 inDataSize, UInt32* outDataSize,
                                     void* outData) const;
    OSStatus SetPropertyDataFallback(AudioObjectID inObjectID, pid_t inClientProcessID,
                                     const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                     const void* inQualifierData, UInt32 inDataSize, const void* inData);

    bool StoreCustomProperty(AudioObjectPropertySelector selector, std::shared_ptr<CustomProperty> property);

    // Declaration order is destruction order reversed: the custom properties go first, then the
    // owned objects, then the context that their destructors still use.
    std::mutex mWriteMutex;
    const std::shared_ptr<const Context> mContext;
    // The context's tracer, which never changes and lives as long as the context.
    Tracer& mTracer;
    const char* const mClassName;
    // Set once, at the end of the constructor; never changed afterwards.
    AudioObjectID mObjectID = kAudioObjectUnknown;
    // Not an owning reference. Read and written under this object's write mutex; an owner that is
    // destroyed first clears it (but not the owner ID) in the objects it still lists.
    Object* mOwner = nullptr;
    std::atomic<AudioObjectID> mOwnerID{kAudioObjectUnknown};
    DoubleBuffer<OwnedObjectMap> mOwnedObjects{OwnedObjectMap{}};
    DoubleBuffer<CustomPropertyMap> mCustomProperties{CustomPropertyMap{}};

    static_assert(std::atomic<AudioObjectID>::is_always_lock_free, "the owner ID is read without a lock");
};

template <class T, class... Arguments>
std::shared_ptr<T> MakeObject(Arguments&&... arguments)
{
    static_assert(std::is_base_of_v<Object, T>, "MakeObject creates hal::Object and its derived classes");
    // Not make_shared: MakeObject is a friend of Object, so it may call a protected constructor,
    // which make_shared may not.
    std::shared_ptr<T> object(new T(std::forward<Arguments>(arguments)...));
    Object::Publish(object);
    return object;
}

} // namespace hal
