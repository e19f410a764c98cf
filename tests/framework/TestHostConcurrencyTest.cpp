// The test host called from several threads at once, as the framework's host calls will be in
// later concurrency tests: nothing lost, nothing leaked, no race (under ThreadSanitizer).

#include "TestHost.h"

#include <gtest/gtest.h>

#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using pelio::test::TestHost;

TEST(TestHostConcurrencyTest, CallsFromSeveralThreadsAreAllRecorded)
{
    constexpr int kThreads = 4;
    constexpr int kCallsPerThread = 200;
    TestHost host;
    const AudioServerPlugInHostInterface* table = host.GetInterface();
    std::atomic<int> performed{0};
    host.SetConfigurationChangeCallbacks(
        [&](AudioObjectID, UInt64, void*) -> OSStatus {
            performed.fetch_add(1);
            return 0;
        },
        nullptr);

    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&, thread] {
            const std::string key = "key" + std::to_string(thread);
            CFStringRef cfKey = CFStringCreateWithCString(kCFAllocatorDefault, key.c_str(), kCFStringEncodingUTF8);
            const AudioObjectPropertyAddress address{kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal,
                                                     kAudioObjectPropertyElementMain};
            for (int call = 0; call < kCallsPerThread; ++call) {
                const std::int64_t value = call;
                CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
                table->WriteToStorage(table, cfKey, number);
                CFRelease(number);
                CFPropertyListRef read = nullptr;
                if (table->CopyFromStorage(table, cfKey, &read) == 0 && read != nullptr) {
                    CFRelease(read);
                }
                table->PropertiesChanged(table, static_cast<AudioObjectID>(thread), 1, &address);
                table->RequestDeviceConfigurationChange(table, 2, static_cast<UInt64>(call), nullptr);
                if (call % 50 == 0) {
                    host.PerformPendingConfigurationChanges();
                }
            }
            CFRelease(cfKey);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    host.PerformPendingConfigurationChanges();

    EXPECT_EQ(host.GetNotifications().size(), std::size_t{kThreads * kCallsPerThread});
    EXPECT_EQ(host.GetConfigurationChangeRequests().size(), std::size_t{kThreads * kCallsPerThread});
    EXPECT_EQ(performed.load(), kThreads * kCallsPerThread);
    EXPECT_EQ(host.GetStoredKeys().size(), std::size_t{kThreads});
}

} // namespace
