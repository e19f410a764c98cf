#include "Probe.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace pelio::probe {
namespace {

// A scripted audio system: answers each selector with a status and an object ID, and records
// every call with what it was given.
struct Answer {
    OSStatus status;
    AudioObjectID objectID;
};

struct RecordedCall {
    AudioObjectID objectID;
    AudioObjectPropertyAddress address;
    UInt32 qualifierSize;
    std::string qualifierText; // the UID when the qualifier is a string reference
    UInt32 dataSize;
    AudioObjectID presetValue;
};

Answer gTranslateAnswer;
Answer gDefaultOutputAnswer;
std::vector<RecordedCall> gCalls;

std::string TextOf(CFStringRef string)
{
    char buffer[256] = {};
    if (!CFStringGetCString(string, buffer, sizeof(buffer), kCFStringEncodingUTF8)) {
        return "<unreadable>";
    }
    return buffer;
}

OSStatus FakeQuery(AudioObjectID objectID,
                   const AudioObjectPropertyAddress* address,
                   UInt32 qualifierSize,
                   const void* qualifier,
                   UInt32* ioDataSize,
                   void* outData)
{
    RecordedCall call{objectID, *address, qualifierSize, {}, *ioDataSize, *static_cast<AudioObjectID*>(outData)};
    if (qualifier != nullptr && qualifierSize == sizeof(CFStringRef)) {
        call.qualifierText = TextOf(*static_cast<const CFStringRef*>(qualifier));
    }
    gCalls.push_back(call);

    const Answer& answer =
        address->mSelector == kAudioHardwarePropertyTranslateUIDToDevice ? gTranslateAnswer : gDefaultOutputAnswer;
    if (answer.status == kAudioHardwareNoError) {
        *static_cast<AudioObjectID*>(outData) = answer.objectID;
    }
    return answer.status;
}

std::string PrintedLine(const DeviceStatus& status)
{
    char* text = nullptr;
    size_t size = 0;
    std::FILE* stream = open_memstream(&text, &size);
    PrintDeviceStatus(status, stream);
    std::fclose(stream);
    std::string line(text, size);
    std::free(text);
    return line;
}

constexpr OSStatus kNotRunning = kAudioHardwareNotRunningError;

struct Case {
    const char* name;
    Answer translate;
    Answer defaultOutput;
    const char* expectedLine;
};

const Case kCases[] = {
    {"no device with the UID", {kAudioHardwareNoError, kAudioObjectUnknown}, {kAudioHardwareNoError, 7},
     "{\"available\":false,\"defaultOutput\":false}\n"},
    {"present, another device is default", {kAudioHardwareNoError, 42}, {kAudioHardwareNoError, 7},
     "{\"available\":true,\"defaultOutput\":false}\n"},
    {"present and default", {kAudioHardwareNoError, 42}, {kAudioHardwareNoError, 42},
     "{\"available\":true,\"defaultOutput\":true}\n"},
    {"default query fails", {kAudioHardwareNoError, 42}, {kNotRunning, 42},
     "{\"available\":true,\"defaultOutput\":false}\n"},
    {"translation fails", {kNotRunning, 42}, {kAudioHardwareNoError, 42},
     "{\"available\":false,\"defaultOutput\":false}\n"},
    {"no audio system at all", {kNotRunning, 0}, {kNotRunning, 0},
     "{\"available\":false,\"defaultOutput\":false}\n"},
};

TEST(Probe, AnswersEachCaseWithTheExactLine)
{
    for (const Case& testCase : kCases) {
        SCOPED_TRACE(testCase.name);
        gTranslateAnswer = testCase.translate;
        gDefaultOutputAnswer = testCase.defaultOutput;
        gCalls.clear();

        EXPECT_EQ(PrintedLine(QueryDeviceStatus(&FakeQuery)), testCase.expectedLine);
    }
}

TEST(Probe, AsksBothQuestionsInOrderEvenWhenTheFirstFails)
{
    gTranslateAnswer = {kNotRunning, 0};
    gDefaultOutputAnswer = {kNotRunning, 0};
    gCalls.clear();

    QueryDeviceStatus(&FakeQuery);

    ASSERT_EQ(gCalls.size(), 2u);
    const RecordedCall& translate = gCalls[0];
    EXPECT_EQ(translate.objectID, kAudioObjectSystemObject);
    EXPECT_EQ(translate.address.mSelector, kAudioHardwarePropertyTranslateUIDToDevice);
    EXPECT_EQ(translate.address.mScope, kAudioObjectPropertyScopeGlobal);
    EXPECT_EQ(translate.address.mElement, kAudioObjectPropertyElementMain);
    EXPECT_EQ(translate.qualifierSize, sizeof(CFStringRef));
    EXPECT_EQ(translate.qualifierText, "local.pelio.audio.iphone.output");
    EXPECT_EQ(translate.dataSize, sizeof(AudioObjectID));
    EXPECT_EQ(translate.presetValue, kAudioObjectUnknown);

    const RecordedCall& defaultOutput = gCalls[1];
    EXPECT_EQ(defaultOutput.objectID, kAudioObjectSystemObject);
    EXPECT_EQ(defaultOutput.address.mSelector, kAudioHardwarePropertyDefaultOutputDevice);
    EXPECT_EQ(defaultOutput.address.mScope, kAudioObjectPropertyScopeGlobal);
    EXPECT_EQ(defaultOutput.address.mElement, kAudioObjectPropertyElementMain);
    EXPECT_EQ(defaultOutput.qualifierSize, 0u);
    EXPECT_EQ(defaultOutput.dataSize, sizeof(AudioObjectID));
    EXPECT_EQ(defaultOutput.presetValue, kAudioObjectUnknown);
}

} // namespace
} // namespace pelio::probe
