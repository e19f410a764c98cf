#pragma once

// What the server needs to know of a plug-in bundle before loading it, read from
// <bundle>/Contents/Info.plist as the platform reads it: the bundle identifier, the executable
// in Contents/MacOS, and the factory function that the bundle lists for the audio server
// plug-in type (CFPlugInTypes names the factory UUID, CFPlugInFactories its function).
//
// Stateless; any thread. Reads files.

#include <string>

namespace pelio::host {

struct BundleInfo
{
    std::string path;            // the bundle folder, as found
    std::string name;            // its file name, for messages
    std::string identifier;      // CFBundleIdentifier
    std::string executablePath;  // <bundle>/Contents/MacOS/<CFBundleExecutable>, present
    std::string factoryUUID;     // as Info.plist writes it
    std::string factoryFunction; // the exported symbol to call
};

// Fills `info` from the bundle at `path`; false with one sentence in `whyNot` when the bundle
// cannot be an audio server plug-in: no Info.plist or one that does not parse, no identifier (or
// one that cannot name a storage file), no factory for the audio server plug-in type, a factory
// UUID without a function, or no executable.
bool ReadBundleInfo(const std::string& path, BundleInfo& info, std::string& whyNot);

} // namespace pelio::host
