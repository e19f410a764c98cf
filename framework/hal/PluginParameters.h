#pragma once

// hal::PluginParameters: what a plug-in object is built with. A plain record; the plug-in keeps a
// copy and never changes it.

#include <string>

namespace hal {

struct PluginParameters
{
    // The answer of kAudioObjectPropertyManufacturer.
    std::string Manufacturer = "Virtual Audio";
    // The answer of kAudioPlugInPropertyResourceBundle, handed to the host unchanged: a path
    // relative to the bundle, empty for the bundle itself.
    std::string ResourceBundlePath;
};

} // namespace hal
