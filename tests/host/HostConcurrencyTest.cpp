// The server under load from many clients at once while plug-ins change underneath: connection
// threads, the server's own thread performing configuration changes and re-reading devices, and
// the default device changing, all at the same time (run under ThreadSanitizer too).

#include "HostTestSupport.h"

#include <AudioServer/Connection.h>
#include <AudioServer/Text.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace pelio::host::test {
namespace {

using namespace audioserver;

PropertyRequest Get(AudioObjectID objectID, AudioObjectPropertySelector selector, UInt32 dataSize,
                    Value qualifier = Value())
{
    PropertyRequest request;
    request.kind = Request::GetPropertyData;
    request.objectID = objectID;
    request.address = {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    request.qualifier = std::move(qualifier);
    request.dataSize = dataSize;
    return request;
}

PropertyRequest Set(AudioObjectID objectID, AudioObjectPropertySelector selector, Value data)
{
    PropertyRequest request;
    request.kind = Request::SetPropertyData;
    request.objectID = objectID;
    request.address = {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    request.data = std::move(data);
    return request;
}

OSStatus Exchange(Connection& connection, const PropertyRequest& request, PropertyResponse& response)
{
    const OSStatus status = connection.Exchange(request, response);
    return status != 0 ? status : response.status;
}

TEST(HostConcurrency, ClientsReadWhileDevicesChangeAndChangesArePerformed)
{
    const HostFolders folders;
    folders.Install("StandIn");
    folders.Install("SecondOutput");
    InProcessServer server(folders);
    const AudioObjectID standIn = TranslateUID(kStandInUID);
    const AudioObjectID second = TranslateUID(kSecondUID);
    ASSERT_NE(standIn, kAudioObjectUnknown);
    ASSERT_NE(second, kAudioObjectUnknown);

    constexpr int kReaders = 4;
    constexpr int kReads = 150;
    constexpr int kChanges = 40;
    std::atomic<int> failures{0};
    std::atomic<int> requestedChanges{0};
    std::vector<std::thread> threads;

    for (int reader = 0; reader < kReaders; ++reader) {
        threads.emplace_back([&] {
            Connection connection;
            for (int read = 0; read < kReads; ++read) {
                PropertyResponse devices;
                if (Exchange(connection, Get(kAudioObjectSystemObject, kAudioHardwarePropertyDevices, 64), devices) != 0
                    || devices.data.GetBytes().size() < 2 * sizeof(AudioObjectID)) {
                    ++failures;
                }
                // Every listed device answers, or is already gone from its plug-in.
                const auto& bytes = devices.data.GetBytes();
                for (std::size_t offset = 0; offset + 4 <= bytes.size(); offset += 4) {
                    AudioObjectID deviceID = 0;
                    std::memcpy(&deviceID, bytes.data() + offset, sizeof(deviceID));
                    PropertyResponse name;
                    const OSStatus status = Exchange(connection, Get(deviceID, kAudioObjectPropertyName, 8), name);
                    if (status == 0 ? name.data.GetObject() == nullptr : status != kAudioHardwareBadObjectError) {
                        ++failures;
                    }
                }
                PropertyResponse translated;
                if (Exchange(connection,
                             Get(kAudioObjectSystemObject, kAudioHardwarePropertyTranslateUIDToDevice, 4,
                                 Value::AdoptObject(CreateString(kStandInUID))),
                             translated) != 0
                    || translated.data.GetBytes() != std::vector<UInt8>(reinterpret_cast<const UInt8*>(&standIn),
                                                                         reinterpret_cast<const UInt8*>(&standIn) + 4)) {
                    ++failures;
                }
                PropertyResponse defaultOutput;
                if (Exchange(connection, Get(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, 4),
                             defaultOutput) != 0) {
                    ++failures;
                }
                PropertyResponse state;
                if (Exchange(connection, Get(standIn, 'tsta', 8), state) != 0 || state.data.GetObject() == nullptr) {
                    ++failures;
                }
            }
        });
    }
    // Configuration changes, asked for from inside property calls on connection threads.
    threads.emplace_back([&] {
        Connection connection;
        for (int change = 0; change < kChanges; ++change) {
            const Float64 rate = change % 2 == 0 ? 44100.0 : 48000.0;
            PropertyResponse response;
            if (Exchange(connection, Set(standIn, kAudioDevicePropertyNominalSampleRate, Value::FromBytes(&rate, 8)),
                         response)
                == 0) {
                ++requestedChanges;
            } else {
                ++failures;
            }
        }
    });
    // A device that comes and goes, re-read on the server's thread.
    threads.emplace_back([&] {
        Connection connection;
        for (int change = 0; change < kChanges; ++change) {
            PropertyResponse response;
            const char* command = change % 2 == 0 ? "add-device" : "remove-device";
            if (Exchange(connection, Set(second, 'tcmd', Value::AdoptObject(CreateString(command))), response) != 0) {
                ++failures;
            }
        }
    });
    // The default output moving between the two devices.
    threads.emplace_back([&] {
        Connection connection;
        for (int change = 0; change < kChanges; ++change) {
            const AudioObjectID chosen = change % 2 == 0 ? standIn : second;
            PropertyResponse response;
            if (Exchange(connection,
                         Set(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice,
                             Value::FromBytes(&chosen, sizeof(chosen))),
                         response)
                != 0) {
                ++failures;
            }
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }

    EXPECT_EQ(failures.load(), 0);
    // Every change asked for was performed once, none on the thread that asked.
    ASSERT_TRUE(server.Get().RunOnServerThread([] {}));
    EXPECT_EQ(ReadTestCounter(standIn, "performed"), requestedChanges.load());
    EXPECT_EQ(ReadTestCounter(standIn, "performedOnRequestThread"), 0);
    EXPECT_EQ(ReadSampleRate(standIn), 48000.0);
    EXPECT_EQ(ReadObjectID(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice), second);
    EXPECT_EQ(ReadObjectIDs(kAudioObjectSystemObject, kAudioHardwarePropertyDevices),
              (std::vector<AudioObjectID>{second, standIn}));
}

} // namespace
} // namespace pelio::host::test
