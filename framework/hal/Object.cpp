#include "hal/Object.h"

#include "hal/CodeNames.h"
#include "hal/Context.h"
#include "hal/Dispatcher.h"
#include "hal/PropertyProtocol.h"
#include "hal/Tracer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace hal {

// ---- Construction and identity -----------------------------------------------------------------

Object::Object(std::shared_ptr<const Context> context, const char* className, AudioObjectID objectID)
    : mContext(std::move(context)), mTracer(*mContext->Tracer), mClassName(className)
{
    // Registered last, once every member is built: a constructor that throws before this point
    // leaves no registration behind.
    //
    // Until MakeObject publishes it, lookups of this ID answer "is dying", just as they do once the
    // last owner is gone: in both states no shared reference owns the object, so none may be
    // handed out. Making one now would race with the shared reference that MakeObject is still
    // building; making one later would revive an object that is being destroyed.
    mObjectID = mContext->Dispatcher->RegisterObject(*this, objectID);
    mContext->Tracer->Message("%s::%s() objectID=%u", mClassName, mClassName, mObjectID);
}

Object::~Object()
{
    mContext->Tracer->Message("%s::~%s() objectID=%u", mClassName, mClassName, mObjectID);
    mContext->Dispatcher->UnregisterObject(mObjectID);

    // The owned objects keep this object's ID as their owner ID, but their plain pointer to it
    // would dangle once this destructor ends. A new owner reads that pointer to take them away
    // from here (DetachFromPreviousOwner, under the owned object's write mutex), so clear it under
    // the same mutex: past this point no owned object can reach this object any more.
    const auto readLock = mOwnedObjects.GetReadLock();
    for (const auto& [scope, objects] : readLock.GetValue()) {
        for (const auto& [objectID, object] : objects) {
            const std::lock_guard<std::mutex> lock(object->mWriteMutex);
            if (object->mOwner == this) {
                object->mOwner = nullptr;
            }
        }
    }
}

void Object::Publish(const std::shared_ptr<Object>& object)
{
    object->mContext->Dispatcher->PublishObject(object->mObjectID, object);
}

AudioClassID Object::GetClass() const
{
    return kAudioObjectClassID;
}

AudioClassID Object::GetBaseClass() const
{
    return kAudioObjectClassID;
}

bool Object::IsInstance(AudioClassID classID) const
{
    return classID == kAudioObjectClassID;
}

// ---- Ownership ---------------------------------------------------------------------------------

std::vector<AudioObjectID> Object::GetOwnedObjectIDs(AudioObjectPropertyScope scope, AudioClassID classID) const
{
    std::vector<AudioObjectID> objectIDs;
    const auto readLock = mOwnedObjects.GetReadLock();
    for (const auto& [ownedScope, objects] : readLock.GetValue()) {
        if (scope != kAudioObjectPropertyScopeGlobal && scope != ownedScope) {
            continue;
        }
        for (const auto& [objectID, object] : objects) {
            if (classID == 0 || object->IsInstance(classID)) {
                objectIDs.push_back(objectID);
            }
        }
    }
    return objectIDs;
}

// `object` is taken by value: the caller's reference might sit in a list that this move replaces
// (the previous owner's), and the object must stay alive through the move.
void Object::AddOwnedObject(std::shared_ptr<Object> object, AudioObjectPropertyScope scope)
{
    Tracer& tracer = *mContext->Tracer;
    if (object == nullptr) {
        tracer.Message("Object::AddOwnedObject() owner:(objectID=%u classID=%s) not adding null object", mObjectID,
                       ClassIDToString(GetClass()).c_str());
        return;
    }
    if (object.get() == this) {
        tracer.Message("Object::AddOwnedObject() owner:(objectID=%u classID=%s) not adding self", mObjectID,
                       ClassIDToString(GetClass()).c_str());
        return;
    }

    for (;;) {
        // Leaving the previous owner takes that owner's write mutex. Doing it before this owner's
        // mutex is taken, never under it, is what keeps two objects moved in opposite directions
        // between the same two owners from each holding one mutex while waiting for the other.
        object->DetachFromPreviousOwner();

        const std::lock_guard<std::mutex> ownerLock(mWriteMutex);
        const std::lock_guard<std::mutex> ownedLock(object->mWriteMutex);
        if (object->mOwner != nullptr) {
            // Another thread gave it an owner after it left the previous one; leave that one too.
            // Each round that ends here means another move has completed, so this ends.
            continue;
        }
        // Held together, the two mutexes make the list entry and the owner fields change as one
        // step for every other writer; readers see the list first, then the owner ID.
        OwnedObjectMap ownedObjects = mOwnedObjects.Get();
        ownedObjects[scope][object->GetID()] = object;
        mOwnedObjects.Set(std::move(ownedObjects));
        object->AttachOwner(*this);
        break;
    }

    tracer.Message("Object::AddOwnedObject() owner:(objectID=%u classID=%s) owned:(objectID=%u classID=%s)", mObjectID,
                   ClassIDToString(GetClass()).c_str(), object->GetID(), ClassIDToString(object->GetClass()).c_str());
}

void Object::RemoveOwnedObject(AudioObjectID objectID)
{
    Tracer& tracer = *mContext->Tracer;
    // Declared before the lock: if it holds the last reference, the object is destroyed when this
    // function returns, after this object's write mutex is released.
    std::shared_ptr<Object> removed;

    const std::lock_guard<std::mutex> lock(mWriteMutex);
    OwnedObjectMap ownedObjects = mOwnedObjects.Get();
    const auto scopeEntry = std::find_if(ownedObjects.begin(), ownedObjects.end(), [objectID](const auto& entry) {
        return entry.second.contains(objectID);
    });
    if (scopeEntry == ownedObjects.end()) {
        tracer.Message(
            "Object::RemoveOwnedObject() owner:(objectID=%u classID=%s) not removing objectID=%u because it's not owned",
            mObjectID, ClassIDToString(GetClass()).c_str(), objectID);
        return;
    }

    removed = scopeEntry->second.at(objectID);
    tracer.Message("Object::RemoveOwnedObject() owner:(objectID=%u classID=%s) owned:(objectID=%u classID=%s)", mObjectID,
                   ClassIDToString(GetClass()).c_str(), objectID, ClassIDToString(removed->GetClass()).c_str());

    // Owner fields first, list second: outside this mutex an object is listed exactly when its
    // owner ID names the owner.
    removed->DetachOwner();
    scopeEntry->second.erase(objectID);
    if (scopeEntry->second.empty()) {
        ownedObjects.erase(scopeEntry);
    }
    mOwnedObjects.Set(std::move(ownedObjects));
}

void Object::DetachFromPreviousOwner()
{
    std::shared_ptr<Object> previousOwner;
    {
        const std::lock_guard<std::mutex> lock(mWriteMutex);
        if (mOwner == nullptr) {
            return;
        }
        // The owner clears this field under this mutex before its destructor ends, so while the
        // mutex is held the pointer names a live object; the shared reference keeps it alive
        // after. Owners are published (MakeObject) before other threads move what they own, so
        // their weak self-reference is settled by the time it is read here.
        previousOwner = mOwner->weak_from_this().lock();
        if (previousOwner == nullptr) {
            // Its last reference is gone and its destructor has not reached this object yet:
            // nobody can read its owned objects any more, so there is nothing to take this out of.
            mOwner = nullptr;
            mOwnerID.store(kAudioObjectUnknown, std::memory_order_release);
            return;
        }
    }
    mContext->Tracer->Message("detaching previous owner before attaching a new one");
    previousOwner->RemoveOwnedObject(mObjectID);
}

void Object::AttachOwner(Object& owner)
{
    mOwner = &owner;
    mOwnerID.store(owner.GetID(), std::memory_order_release);
}

void Object::DetachOwner()
{
    const std::lock_guard<std::mutex> lock(mWriteMutex);
    mOwnerID.store(kAudioObjectUnknown, std::memory_order_release);
    mOwner = nullptr;
}

// ---- Notification ------------------------------------------------------------------------------

void Object::NotifyPropertiesChanged(const std::vector<AudioObjectPropertySelector>& selectors,
                                     AudioObjectPropertyScope scope, AudioObjectPropertyElement element) const
{
    if (selectors.empty()) {
        return;
    }
    const AudioServerPlugInHostInterface* host = mContext->Host.load(std::memory_order_acquire);
    if (host == nullptr) {
        // The driver is not initialised yet; the host asks for every value when it starts anyway.
        return;
    }

    std::vector<AudioObjectPropertyAddress> addresses;
    addresses.reserve(selectors.size());
    std::string names;
    for (const AudioObjectPropertySelector selector : selectors) {
        addresses.push_back(AudioObjectPropertyAddress{selector, scope, element});
        if (!names.empty()) {
            names += ", ";
        }
        names += PropertySelectorToString(selector);
    }
    mContext->Tracer->Message("Object::NotifyPropertiesChanged() sending notification for %s", names.c_str());
    // The host's answer changes nothing here: a notification that it missed is not retried.
    (void)host->PropertiesChanged(host, mObjectID, static_cast<UInt32>(addresses.size()), addresses.data());
}

// ---- Custom properties -------------------------------------------------------------------------

bool Object::RegisterCustomProperty(AudioObjectPropertySelector selector, StringGetter getter, StringSetter setter)
{
    return StoreCustomProperty(selector,
                               CustomProperty::Create<CFStringRef>(kAudioServerPlugInCustomPropertyDataTypeCFString,
                                                                   std::move(getter), std::move(setter)));
}

bool Object::RegisterCustomProperty(AudioObjectPropertySelector selector, PropertyListGetter getter,
                                    PropertyListSetter setter)
{
    return StoreCustomProperty(
        selector, CustomProperty::Create<CFPropertyListRef>(kAudioServerPlugInCustomPropertyDataTypeCFPropertyList,
                                                            std::move(getter), std::move(setter)));
}

bool Object::StoreCustomProperty(AudioObjectPropertySelector selector, std::shared_ptr<CustomProperty> property)
{
    // The class's own answer comes first for HasProperty, IsPropertySettable and both reads, so a
    // custom property under its selector would only ever be reached by some of the sets.
    if (IsBuiltInProperty(selector)) {
        mContext->Tracer->Message("Object::RegisterCustomProperty() objectID=%u not registering %s: the object "
                                  "answers it itself",
                                  mObjectID, PropertySelectorToString(selector).c_str());
        return false;
    }
    const std::lock_guard<std::mutex> lock(mWriteMutex);
    CustomPropertyMap customProperties = mCustomProperties.Get();
    customProperties[selector] = std::move(property);
    mCustomProperties.Set(std::move(customProperties));
    return true;
}

std::vector<AudioServerPlugInCustomPropertyInfo> Object::GetCustomProperties() const
{
    std::vector<AudioServerPlugInCustomPropertyInfo> records;
    const auto readLock = mCustomProperties.GetReadLock();
    records.reserve(readLock.GetValue().size());
    for (const auto& [selector, property] : readLock.GetValue()) {
        records.push_back(AudioServerPlugInCustomPropertyInfo{selector, property->GetDataType(),
                                                              kAudioServerPlugInCustomPropertyDataTypeNone});
    }
    return records;
}

// ---- Base property protocol --------------------------------------------------------------------

namespace {

using PropertyProtocol::List;
using PropertyProtocol::Value;

// The properties of every audio object. The owned objects are those of the address's scope ('glob'
// for all); a class-ID qualifier does not narrow them.
constexpr auto kProperties = PropertyProtocol::MakeTable<Object>({
    {kAudioObjectPropertyBaseClass,              "BaseClass",        Value<&Object::GetBaseClass>},
    {kAudioObjectPropertyClass,                  "Class",            Value<&Object::GetClass>},
    {kAudioObjectPropertyOwner,                  "OwnerID",          Value<&Object::GetOwnerID>},
    {kAudioObjectPropertyOwnedObjects,           "OwnedObjectIDs",
     List<[](const Object& object, AudioObjectPropertyScope scope) { return object.GetOwnedObjectIDs(scope, 0); }>},
    {kAudioObjectPropertyCustomPropertyInfoList, "CustomProperties", List<&Object::GetCustomProperties>},
});
static_assert(sizeof(AudioObjectID) == 4 && sizeof(AudioServerPlugInCustomPropertyInfo) == 12,
              "the host reads owned object IDs and custom property records in these sizes");

} // namespace

bool Object::IsBuiltInProperty(AudioObjectPropertySelector selector) const
{
    return kProperties.Find(selector) != nullptr;
}

// What the table does not answer goes to the custom properties. None of the base properties is
// settable, so every set ends there.

Boolean Object::HasProperty(AudioObjectID inObjectID, pid_t inClientProcessID,
                            const AudioObjectPropertyAddress* inAddress) const
{
    return AnswerHasProperty("Object::HasProperty()", kProperties, inObjectID, inClientProcessID, inAddress,
                             [&] { return HasPropertyFallback(inObjectID, inClientProcessID, inAddress); });
}

OSStatus Object::IsPropertySettable(AudioObjectID inObjectID, pid_t inClientProcessID,
                                    const AudioObjectPropertyAddress* inAddress, Boolean* outIsSettable) const
{
    return AnswerIsPropertySettable(
        "Object::IsPropertySettable()", kProperties, inObjectID, inClientProcessID, inAddress, outIsSettable,
        [&] { return IsPropertySettableFallback(inObjectID, inClientProcessID, inAddress, outIsSettable); });
}

OSStatus Object::GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientProcessID,
                                     const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                     const void* inQualifierData, UInt32* outDataSize) const
{
    return AnswerGetPropertyDataSize("Object::GetPropertyDataSize()", kProperties, inObjectID, inClientProcessID,
                                     inAddress, inQualifierDataSize, inQualifierData, outDataSize, [&] {
        return GetPropertyDataSizeFallback(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                           inQualifierData, outDataSize);
    });
}

OSStatus Object::GetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                 const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                 const void* inQualifierData, UInt32 inDataSize, UInt32* outDataSize,
                                 void* outData) const
{
    return AnswerGetPropertyData("Object::GetPropertyData()", kProperties, inObjectID, inClientProcessID, inAddress,
                                 inQualifierDataSize, inQualifierData, inDataSize, outDataSize, outData, [&] {
        return GetPropertyDataFallback(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                       inQualifierData, inDataSize, outDataSize, outData);
    });
}

OSStatus Object::SetPropertyData(AudioObjectID inObjectID, pid_t inClientProcessID,
                                 const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                 const void* inQualifierData, UInt32 inDataSize, const void* inData)
{
    return AnswerSetPropertyData("Object::SetPropertyData()", kProperties, inObjectID, inClientProcessID, inAddress,
                                 inQualifierDataSize, inQualifierData, inDataSize, inData, [&] {
        return SetPropertyDataFallback(inObjectID, inClientProcessID, inAddress, inQualifierDataSize,
                                       inQualifierData, inDataSize, inData);
    });
}

// ---- Custom-property fallbacks -----------------------------------------------------------------
// The last stage of every property query: traced as part of the calling operation, with the
// property map read-locked for the whole answer, the application's callback included. The
// address is never null here; the calling operation has refused that already.

Boolean Object::HasPropertyFallback(AudioObjectID inObjectID, pid_t /*inClientProcessID*/,
                                    const AudioObjectPropertyAddress* inAddress) const
{
    Tracer& tracer = *mContext->Tracer;
    if (inObjectID != mObjectID) {
        tracer.Message("object not found");
        return false;
    }
    const auto readLock = mCustomProperties.GetReadLock();
    if (!readLock.GetValue().contains(inAddress->mSelector)) {
        tracer.Message("property not found");
        return false;
    }
    tracer.Message("property found in custom property map, returning HasProperty=true");
    return true;
}

OSStatus Object::IsPropertySettableFallback(AudioObjectID inObjectID, pid_t /*inClientProcessID*/,
                                            const AudioObjectPropertyAddress* inAddress, Boolean* outIsSettable) const
{
    Tracer& tracer = *mContext->Tracer;
    if (inObjectID != mObjectID) {
        tracer.Message("object not found");
        return kAudioHardwareBadObjectError;
    }
    const auto readLock = mCustomProperties.GetReadLock();
    const auto found = readLock.GetValue().find(inAddress->mSelector);
    if (found == readLock.GetValue().end()) {
        tracer.Message("property not found");
        return kAudioHardwareUnknownPropertyError;
    }
    if (outIsSettable == nullptr) {
        tracer.Message("output buffer is null");
        return kAudioHardwareNoError;
    }
    const bool isSettable = found->second->HasSetter();
    *outIsSettable = isSettable;
    tracer.Message("property found in custom property map, returning IsSettable=%s", isSettable ? "true" : "false");
    return kAudioHardwareNoError;
}

OSStatus Object::GetPropertyDataSizeFallback(AudioObjectID inObjectID, pid_t /*inClientProcessID*/,
                                             const AudioObjectPropertyAddress* inAddress,
                                             UInt32 /*inQualifierDataSize*/, const void* /*inQualifierData*/,
                                             UInt32* outDataSize) const
{
    Tracer& tracer = *mContext->Tracer;
    if (inObjectID != mObjectID) {
        tracer.Message("object not found");
        return kAudioHardwareBadObjectError;
    }
    const auto readLock = mCustomProperties.GetReadLock();
    const auto found = readLock.GetValue().find(inAddress->mSelector);
    if (found == readLock.GetValue().end()) {
        tracer.Message("property not found");
        return kAudioHardwareUnknownPropertyError;
    }
    if (outDataSize == nullptr) {
        tracer.Message("output buffer is null");
        return kAudioHardwareNoError;
    }
    const UInt32 size = found->second->GetDataSize();
    *outDataSize = size;
    tracer.Message("property found in custom property map, returning PropertySize=%u", size);
    return kAudioHardwareNoError;
}

OSStatus Object::GetPropertyDataFallback(AudioObjectID inObjectID, pid_t /*inClientProcessID*/,
                                         const AudioObjectPropertyAddress* inAddress, UInt32 /*inQualifierDataSize*/,
                                         const void* /*inQualifierData*/, UInt32 inDataSize, UInt32* outDataSize,
                                         void* outData) const
{
    Tracer& tracer = *mContext->Tracer;
    if (inObjectID != mObjectID) {
        tracer.Message("object not found");
        return kAudioHardwareBadObjectError;
    }
    const auto readLock = mCustomProperties.GetReadLock();
    const auto found = readLock.GetValue().find(inAddress->mSelector);
    if (found == readLock.GetValue().end()) {
        tracer.Message("property not found");
        return kAudioHardwareUnknownPropertyError;
    }
    const CustomProperty& property = *found->second;
    if (!property.HasGetter()) {
        tracer.Message("property does not have getter");
        return kAudioHardwareUnknownPropertyError;
    }
    switch (PropertyProtocol::CheckOutputBuffer(tracer, property.GetDataSize(), inDataSize, outDataSize, outData)) {
    case PropertyProtocol::OutputBuffer::TooSmall:
        return kAudioHardwareBadPropertySizeError;
    case PropertyProtocol::OutputBuffer::Absent:
        return kAudioHardwareNoError;
    case PropertyProtocol::OutputBuffer::Ready:
        break;
    }
    tracer.Message("returning property from custom property map");
    property.Get(outData);
    return kAudioHardwareNoError;
}

OSStatus Object::SetPropertyDataFallback(AudioObjectID inObjectID, pid_t /*inClientProcessID*/,
                                         const AudioObjectPropertyAddress* inAddress, UInt32 /*inQualifierDataSize*/,
                                         const void* /*inQualifierData*/, UInt32 inDataSize, const void* inData)
{
    Tracer& tracer = *mContext->Tracer;
    if (inObjectID != mObjectID) {
        tracer.Message("object not found");
        return kAudioHardwareBadObjectError;
    }
    const auto readLock = mCustomProperties.GetReadLock();
    const auto found = readLock.GetValue().find(inAddress->mSelector);
    if (found == readLock.GetValue().end()) {
        tracer.Message("property not found");
        return kAudioHardwareUnknownPropertyError;
    }
    const CustomProperty& property = *found->second;
    if (!property.HasSetter()) {
        tracer.Message("property does not have setter");
        return kAudioHardwareUnknownPropertyError;
    }
    // Exactly one reference: a larger buffer is refused as well.
    if (const OSStatus status = PropertyProtocol::CheckInputBuffer(tracer, property.GetDataSize(), inDataSize, inData);
        status != kAudioHardwareNoError) {
        return status;
    }
    if (!property.AcceptsValue(inData)) {
        tracer.Message("input value has the wrong type");
        return kAudioHardwareIllegalOperationError;
    }
    tracer.Message("setting property in custom property map");
    property.Set(inData);
    return kAudioHardwareNoError;
}

} // namespace hal
