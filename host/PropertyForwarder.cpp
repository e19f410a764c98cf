#include "PropertyForwarder.h"

#include "PlugIn.h"

#include <AudioServer/PropertyKinds.h>

#include <CoreAudio/AudioHardware.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

namespace pelio::host {

namespace {

using audioserver::PropertyKinds;
using audioserver::PropertyRequest;
using audioserver::PropertyResponse;
using audioserver::Request;
using audioserver::Value;

// The properties whose data is a list of object IDs.
constexpr AudioObjectPropertySelector kObjectListSelectors[] = {
    kAudioObjectPropertyOwner,
    kAudioObjectPropertyOwnedObjects,
    kAudioObjectPropertyControlList,
    kAudioPlugInPropertyDeviceList,
    kAudioPlugInPropertyTranslateUIDToDevice,
    kAudioPlugInPropertyBoxList,
    kAudioPlugInPropertyTranslateUIDToBox,
    kAudioPlugInPropertyClockDeviceList,
    kAudioPlugInPropertyTranslateUIDToClockDevice,
    kAudioTransportManagerPropertyEndPointList,
    kAudioTransportManagerPropertyTranslateUIDToEndPoint,
    kAudioBoxPropertyDeviceList,
    kAudioBoxPropertyClockDeviceList,
    kAudioDevicePropertyRelatedDevices,
    kAudioDevicePropertyStreams,
    kAudioEndPointDevicePropertyEndPointList,
};

bool ListsObjects(AudioObjectPropertySelector selector)
{
    return std::find(std::begin(kObjectListSelectors), std::end(kObjectListSelectors), selector)
        != std::end(kObjectListSelectors);
}

PropertyKinds KindsOf(const ObjectMap::Target& target, const AudioObjectPropertyAddress& address)
{
    if (const auto standard = audioserver::StandardPropertyKinds(address.mSelector)) {
        return *standard;
    }
    std::vector<UInt8> list;
    const AudioObjectPropertyAddress listAddress{kAudioObjectPropertyCustomPropertyInfoList, address.mScope,
                                                 address.mElement};
    if (target.plugIn->ReadBytes(target.objectID, listAddress, list)) {
        if (const auto custom = audioserver::CustomPropertyKinds(list, address.mSelector)) {
            return *custom;
        }
    }
    return {};
}

// A qualifier or data in the form the plug-in takes: a pointer and a size. An object is passed as
// the address of its reference.
struct Argument
{
    CFTypeRef object = nullptr;
    const void* bytes = nullptr;
    UInt32 size = 0;
};

bool Unpack(const Value& value, bool isObject, Argument& argument)
{
    argument = Argument{};
    switch (value.GetKind()) {
    case Value::Kind::None:
        return true;
    case Value::Kind::Bytes:
        if (isObject) {
            return false;
        }
        argument.bytes = value.GetBytes().data();
        argument.size = static_cast<UInt32>(value.GetBytes().size());
        return true;
    case Value::Kind::Object:
        if (!isObject) {
            return false;
        }
        argument.object = value.GetObject();
        argument.bytes = &argument.object;
        argument.size = sizeof(CFTypeRef);
        return true;
    }
    return false;
}

void ForwardGet(ObjectMap& objects, const ObjectMap::Target& target, const PropertyRequest& request,
                pid_t clientProcessID, bool dataIsObject, const Argument& qualifier, PropertyResponse& response)
{
    const PlugIn& plugIn = *target.plugIn;
    UInt32 written = 0;
    if (dataIsObject) {
        CFTypeRef object = nullptr;
        const UInt32 offered = std::min<UInt32>(request.dataSize, sizeof(object));
        response.status = plugIn.GetPropertyData(target.objectID, clientProcessID, request.address, qualifier.size,
                                                 qualifier.bytes, offered, written, &object);
        if (response.status == kAudioHardwareNoError) {
            if (written == sizeof(object)) {
                response.data = Value::AdoptObject(object);
            } else {
                response.status = kAudioHardwareUnspecifiedError;
            }
        }
        return;
    }

    std::vector<UInt8> buffer(request.dataSize);
    response.status = plugIn.GetPropertyData(target.objectID, clientProcessID, request.address, qualifier.size,
                                             qualifier.bytes, request.dataSize, written, buffer.data());
    if (response.status != kAudioHardwareNoError) {
        return;
    }
    buffer.resize(std::min(written, request.dataSize));
    if (ListsObjects(request.address.mSelector)) {
        for (std::size_t offset = 0; offset + sizeof(AudioObjectID) <= buffer.size(); offset += sizeof(AudioObjectID)) {
            AudioObjectID objectID = kAudioObjectUnknown;
            std::memcpy(&objectID, buffer.data() + offset, sizeof(objectID));
            objectID = objects.ToServer(*target.plugIn, objectID);
            std::memcpy(buffer.data() + offset, &objectID, sizeof(objectID));
        }
    }
    response.data = Value::FromBytes(buffer.data(), buffer.size());
}

} // namespace

void ForwardRequest(ObjectMap& objects, const ObjectMap::Target& target, const PropertyRequest& request,
                    pid_t clientProcessID, PropertyResponse& response)
{
    const PlugIn& plugIn = *target.plugIn;
    if (request.kind == Request::HasProperty) {
        response.hasProperty = plugIn.HasProperty(target.objectID, clientProcessID, request.address) != 0;
        return;
    }

    const PropertyKinds kinds = KindsOf(target, request.address);
    Argument qualifier;
    if (!Unpack(request.qualifier, kinds.qualifierIsObject, qualifier)) {
        response.status = kAudioHardwareBadPropertySizeError;
        return;
    }
    switch (request.kind) {
    case Request::HasProperty:
        return;
    case Request::GetPropertyDataSize:
        response.status = plugIn.GetPropertyDataSize(target.objectID, clientProcessID, request.address,
                                                     qualifier.size, qualifier.bytes, response.dataSize);
        return;
    case Request::GetPropertyData:
        ForwardGet(objects, target, request, clientProcessID, kinds.dataIsObject, qualifier, response);
        return;
    case Request::SetPropertyData: {
        Argument data;
        if (!Unpack(request.data, kinds.dataIsObject, data)) {
            response.status = kAudioHardwareBadPropertySizeError;
            return;
        }
        response.status = plugIn.SetPropertyData(target.objectID, clientProcessID, request.address, qualifier.size,
                                                 qualifier.bytes, data.size, data.bytes);
        return;
    }
    }
}

} // namespace pelio::host

