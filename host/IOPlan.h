#pragma once

// What the IO thread of one device does, settled before IO starts: the device's streams with
// their formats, the timing parameters the cycle is built from, and which IO operations the
// device said it does (WillDoIOOperation), for the device's own work and for each client.
//
// The server asks WillDoIOOperation for every operation, with each client's ID, before that
// client's StartIO, and never during a cycle. Operations that serve one client (ProcessInput,
// ProcessOutput, MixOutput) follow that client's answers; those that serve the device as a whole
// (the thread and cycle marks, ReadInput, ConvertInput, ProcessMix, ConvertMix, WriteMix) follow
// the answers of the client whose StartIO began the IO run.
//
// ReadIOPlan and AskIOOperations call the plug-in (blocking, allocating): never on the IO thread.
// The records are plain values; the IO thread reads them, nobody changes them while it runs.

#include <CoreAudio/AudioServerPlugIn.h>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace pelio::host {

class PlugIn;
struct DeviceDescription;

// The client ID the server uses for the work it does for the device as a whole (the
// platform's kAudioServerPlugInHostClientID): never a real client's.
inline constexpr UInt32 kHostClientID = 0;

// Every IO operation, in the order of a cycle.
inline constexpr std::array<UInt32, 10> kIOOperations = {
    kAudioServerPlugInIOOperationThread,        kAudioServerPlugInIOOperationCycle,
    kAudioServerPlugInIOOperationReadInput,     kAudioServerPlugInIOOperationConvertInput,
    kAudioServerPlugInIOOperationProcessInput,  kAudioServerPlugInIOOperationProcessOutput,
    kAudioServerPlugInIOOperationMixOutput,     kAudioServerPlugInIOOperationProcessMix,
    kAudioServerPlugInIOOperationConvertMix,    kAudioServerPlugInIOOperationWriteMix,
};

struct IOOperationAnswer
{
    bool willDo = false;
    bool inPlace = true;
};

// A device's answers to WillDoIOOperation, one per operation of kIOOperations.
class IOOperationSet
{
public:
    // The answer for an operation; an unknown operation reads as not done.
    const IOOperationAnswer& Get(UInt32 operationID) const noexcept;
    void Set(UInt32 operationID, IOOperationAnswer answer) noexcept;

private:
    std::array<IOOperationAnswer, kIOOperations.size() + 1> mAnswers{};
};

struct StreamIO
{
    AudioObjectID streamID = kAudioObjectUnknown; // the plug-in's
    UInt32 channels = 0;        // of its virtual format, which the server mixes in (32-bit float)
    UInt32 firstChannel = 1;    // the device channel of its first channel, from 1
    UInt32 bytesPerFrame = 0;   // of its physical format, what ReadInput and WriteMix exchange
};

struct IOPlan
{
    AudioServerPlugInDriverRef driver = nullptr;
    AudioObjectID deviceID = kAudioObjectUnknown; // the plug-in's
    UInt32 bufferFrames = 512;                    // the nominal IO buffer size
    Float64 nominalSampleRate = 0;
    UInt32 zeroTimeStampPeriod = 0;
    UInt32 inputSafetyOffset = 0;
    UInt32 outputSafetyOffset = 0;
    std::vector<StreamIO> inputStreams;  // active ones only
    std::vector<StreamIO> outputStreams; // active ones only
    IOOperationSet deviceOperations;
};

// Asks the device, for one client, about every operation.
IOOperationSet AskIOOperations(const PlugIn& plugIn, AudioObjectID deviceID, UInt32 clientID);

// Reads what the plan needs from the device; `deviceOperations` become the plan's. False, with
// the status to give the application and one sentence in `whyNot`, when the server cannot run
// IO on the device: no active stream, a zero time stamp period or rate it cannot use, a virtual
// format other than 32-bit float, or an output whose physical format differs from its virtual
// one while the device does not convert the mix itself.
bool ReadIOPlan(const PlugIn& plugIn, AudioObjectID deviceID, const DeviceDescription& description,
                UInt32 bufferFrames, const IOOperationSet& deviceOperations, IOPlan& plan, OSStatus& status,
                std::string& whyNot);

} // namespace pelio::host
