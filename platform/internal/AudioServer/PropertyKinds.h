// AudioServer/PropertyKinds.h — how a property's qualifier and data cross between processes.
//
// Inside one process a CFString, CFURL or property-list value travels as a pointer-sized reference
// (the receiver of data owns it). Between processes such a value is sent as the object itself
// (Value::Kind::Object in Protocol.h) and made anew on the other side; every other value is sent
// as its bytes. Both the client calls and the simulated audio server decide the same way: from
// the selectors the audio system defines, and for a plug-in's own properties from its object's
// custom property list. Stateless; any thread.
#pragma once

#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/AudioServerPlugIn.h>

#include <optional>
#include <vector>

namespace audioserver {

struct PropertyKinds {
    bool qualifierIsObject = false;
    bool dataIsObject = false;
};

// The kinds of a selector that the audio system defines, or nothing for one it does not know.
std::optional<PropertyKinds> StandardPropertyKinds(AudioObjectPropertySelector selector);

// The kinds of a selector as a custom property list (the bytes of
// kAudioObjectPropertyCustomPropertyInfoList) gives them, or nothing when the list lacks it.
// CFString and CFPropertyList types are objects; anything else goes as bytes.
std::optional<PropertyKinds> CustomPropertyKinds(const std::vector<UInt8>& customPropertyList,
                                                 AudioObjectPropertySelector selector);

}  // namespace audioserver
