// The client property calls of the substitute audio system: each one is a request to the simulated
// audio server over its socket. With no server they answer as the platform does while its server
// is down, and leave the caller's outputs as they were.
#include <CoreAudio/AudioHardware.h>

#include <AudioServer/Connection.h>
#include <AudioServer/PropertyKinds.h>

#include <cstring>
#include <optional>

namespace {

using audioserver::PropertyKinds;
using audioserver::PropertyRequest;
using audioserver::PropertyResponse;
using audioserver::Request;
using audioserver::Value;

constexpr UInt32 kReferenceSize = sizeof(CFTypeRef);

// One request on the shared connection; the transport status, or the server's.
OSStatus Send(const PropertyRequest& request, PropertyResponse& response) {
    const OSStatus status = audioserver::SharedConnection().Exchange(request, response);
    return status != kAudioHardwareNoError ? status : response.status;
}

PropertyRequest MakeRequest(Request kind, AudioObjectID objectID, const AudioObjectPropertyAddress& address) {
    PropertyRequest request;
    request.kind = kind;
    request.objectID = objectID;
    request.address = address;
    return request;
}

// How the property's qualifier and data travel. Only a pointer-sized value can be an object
// reference, so the object's custom property list is asked for only then, and only for selectors
// the audio system does not define.
OSStatus KindsOf(AudioObjectID objectID, const AudioObjectPropertyAddress& address, bool mayHoldReference,
                 PropertyKinds& kinds) {
    kinds = PropertyKinds{};
    if (const std::optional<PropertyKinds> standard = audioserver::StandardPropertyKinds(address.mSelector)) {
        kinds = *standard;
        return kAudioHardwareNoError;
    }
    if (!mayHoldReference) return kAudioHardwareNoError;

    const AudioObjectPropertyAddress listAddress{kAudioObjectPropertyCustomPropertyInfoList, address.mScope,
                                                 address.mElement};
    PropertyRequest sizeRequest = MakeRequest(Request::GetPropertyDataSize, objectID, listAddress);
    PropertyResponse sizeResponse;
    const OSStatus sizeStatus = Send(sizeRequest, sizeResponse);
    if (sizeStatus == kAudioHardwareNotRunningError) return sizeStatus;
    // An object without custom properties: every value travels as bytes.
    if (sizeStatus != kAudioHardwareNoError || sizeResponse.dataSize == 0) return kAudioHardwareNoError;

    PropertyRequest listRequest = MakeRequest(Request::GetPropertyData, objectID, listAddress);
    listRequest.dataSize = sizeResponse.dataSize;
    PropertyResponse listResponse;
    const OSStatus listStatus = Send(listRequest, listResponse);
    if (listStatus == kAudioHardwareNotRunningError) return listStatus;
    if (listStatus == kAudioHardwareNoError && listResponse.data.GetKind() == Value::Kind::Bytes) {
        if (const auto custom = audioserver::CustomPropertyKinds(listResponse.data.GetBytes(), address.mSelector))
            kinds = *custom;
    }
    return kAudioHardwareNoError;
}

// The caller's qualifier or data as it travels: an object reference passed by address, or bytes.
OSStatus Carry(bool isObject, UInt32 size, const void* bytes, Value& value) {
    if (size == 0 || bytes == nullptr) {
        value = Value();
        return kAudioHardwareNoError;
    }
    if (size > audioserver::kMaxPropertyDataSize) return kAudioHardwareBadPropertySizeError;
    if (!isObject) {
        value = Value::FromBytes(bytes, size);
        return kAudioHardwareNoError;
    }
    if (size != kReferenceSize) return kAudioHardwareBadPropertySizeError;
    CFTypeRef object = nullptr;
    std::memcpy(&object, bytes, sizeof(object));
    value = Value::FromObject(object);
    return kAudioHardwareNoError;
}

// Builds a request whose qualifier (and, for a set, data) travel as their property needs.
OSStatus Prepare(Request kind, AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                 UInt32 qualifierSize, const void* qualifier, UInt32 dataSize, const void* data,
                 PropertyRequest& request) {
    const bool qualifierMayBeReference = qualifierSize == kReferenceSize && qualifier != nullptr;
    const bool dataMayBeReference = kind == Request::SetPropertyData && dataSize == kReferenceSize && data != nullptr;
    PropertyKinds kinds;
    if (const OSStatus status = KindsOf(objectID, address, qualifierMayBeReference || dataMayBeReference, kinds))
        return status;
    request = MakeRequest(kind, objectID, address);
    if (const OSStatus status = Carry(kinds.qualifierIsObject, qualifierSize, qualifier, request.qualifier))
        return status;
    if (kind == Request::SetPropertyData) return Carry(kinds.dataIsObject, dataSize, data, request.data);
    return kAudioHardwareNoError;
}

}  // namespace

extern "C" Boolean AudioObjectHasProperty(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress) {
    if (inAddress == nullptr) return false;
    PropertyResponse response;
    return Send(MakeRequest(Request::HasProperty, inObjectID, *inAddress), response) == kAudioHardwareNoError &&
           response.hasProperty;
}

extern "C" OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                                   const AudioObjectPropertyAddress* inAddress,
                                                   UInt32 inQualifierDataSize, const void* inQualifierData,
                                                   UInt32* outDataSize) {
    if (inAddress == nullptr) return kAudioHardwareIllegalOperationError;
    PropertyRequest request;
    if (const OSStatus status = Prepare(Request::GetPropertyDataSize, inObjectID, *inAddress, inQualifierDataSize,
                                        inQualifierData, 0, nullptr, request))
        return status;
    PropertyResponse response;
    const OSStatus status = Send(request, response);
    if (status == kAudioHardwareNoError && outDataSize != nullptr) *outDataSize = response.dataSize;
    return status;
}

extern "C" OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                               UInt32 inQualifierDataSize, const void* inQualifierData,
                                               UInt32* ioDataSize, void* outData) {
    if (inAddress == nullptr) return kAudioHardwareIllegalOperationError;
    PropertyRequest request;
    if (const OSStatus status = Prepare(Request::GetPropertyData, inObjectID, *inAddress, inQualifierDataSize,
                                        inQualifierData, 0, nullptr, request))
        return status;
    const UInt32 offered = ioDataSize != nullptr ? *ioDataSize : 0;
    request.dataSize = offered < audioserver::kMaxPropertyDataSize ? offered : audioserver::kMaxPropertyDataSize;

    PropertyResponse response;
    const OSStatus status = Send(request, response);
    if (status != kAudioHardwareNoError) return status;

    // The server never answers with more than was offered; a reply that does is not used.
    switch (response.data.GetKind()) {
    case Value::Kind::None:
        if (ioDataSize != nullptr) *ioDataSize = 0;
        return kAudioHardwareNoError;
    case Value::Kind::Bytes: {
        const auto& bytes = response.data.GetBytes();
        if (bytes.size() > offered) return kAudioHardwareUnspecifiedError;
        if (outData != nullptr && !bytes.empty()) std::memcpy(outData, bytes.data(), bytes.size());
        if (ioDataSize != nullptr) *ioDataSize = static_cast<UInt32>(bytes.size());
        return kAudioHardwareNoError;
    }
    case Value::Kind::Object: {
        if (offered < kReferenceSize) return kAudioHardwareBadPropertySizeError;
        // The caller owns the new object; with nowhere to put it, it is released with the value.
        if (outData != nullptr) {
            const CFTypeRef object = response.data.ReleaseObject();
            std::memcpy(outData, &object, sizeof(object));
        }
        if (ioDataSize != nullptr) *ioDataSize = kReferenceSize;
        return kAudioHardwareNoError;
    }
    }
    return kAudioHardwareUnspecifiedError;
}

extern "C" OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                               UInt32 inQualifierDataSize, const void* inQualifierData,
                                               UInt32 inDataSize, const void* inData) {
    if (inAddress == nullptr) return kAudioHardwareIllegalOperationError;
    PropertyRequest request;
    if (const OSStatus status = Prepare(Request::SetPropertyData, inObjectID, *inAddress, inQualifierDataSize,
                                        inQualifierData, inDataSize, inData, request))
        return status;
    PropertyResponse response;
    return Send(request, response);
}
