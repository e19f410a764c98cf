#include "hal/Client.h"

#include "hal/ClientInfo.h"
#include "hal/ControlRequestHandler.h"

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

struct HostRecordCase
{
    const char* name;
    UInt32 clientID;
    pid_t processID;
    Boolean isNativeEndian;
    const char* bundleID; // null: the host gives none
    hal::ClientInfo expected;
};

TEST(ClientInfoTest, CopiesTheHostRecord)
{
    const HostRecordCase cases[] = {
        {"plain", 7, 1234, 1, "com.example.player", {7, 1234, true, "com.example.player"}},
        {"any non-zero flag is native", 8, 99, 2, "x", {8, 99, true, "x"}},
        {"zero flag is foreign", 9, 1, 0, "y", {9, 1, false, "y"}},
        {"no bundle identifier", 10, 2, 1, nullptr, {10, 2, true, ""}},
        {"non-ASCII identifier", 11, 3, 1, "caf\xc3\xa9", {11, 3, true, "caf\xc3\xa9"}},
    };
    for (const HostRecordCase& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        CFStringRef bundleID = testCase.bundleID == nullptr
                                   ? nullptr
                                   : CFStringCreateWithCString(kCFAllocatorDefault, testCase.bundleID,
                                                               kCFStringEncodingUTF8);
        const AudioServerPlugInClientInfo record{testCase.clientID, testCase.processID, testCase.isNativeEndian,
                                                 bundleID};
        EXPECT_EQ(hal::ClientInfo::FromHostRecord(record), testCase.expected);
        if (bundleID != nullptr) {
            CFRelease(bundleID);
        }
    }
}

TEST(ClientInfoTest, ABundleIdentifierThatIsNotAStringReadsAsNone)
{
    const SInt64 number = 42;
    const CFNumberRef notAString = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &number);
    const AudioServerPlugInClientInfo record{12, 4, 1, reinterpret_cast<CFStringRef>(notAString)};
    EXPECT_EQ(hal::ClientInfo::FromHostRecord(record), (hal::ClientInfo{12, 4, true, ""}));
    CFRelease(notAString);
}

TEST(ClientTest, ReturnsExactlyTheValuesItWasBuiltFrom)
{
    const hal::ClientInfo info{42, 4242, false, "local.test.app"};
    const hal::Client client(info);
    EXPECT_EQ(client.GetClientID(), 42u);
    EXPECT_EQ(client.GetProcessID(), 4242);
    EXPECT_FALSE(client.GetIsNativeEndian());
    EXPECT_EQ(client.GetBundleID(), "local.test.app");
}

TEST(ClientTest, DefaultControlHandlerBuildsAClientFromTheInfo)
{
    hal::ControlRequestHandler handler;
    const hal::ClientInfo info{3, 77, true, "local.test.other"};
    const std::shared_ptr<hal::Client> client = handler.OnAddClient(info);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->GetClientID(), info.ClientID);
    EXPECT_EQ(client->GetProcessID(), info.ProcessID);
    EXPECT_EQ(client->GetIsNativeEndian(), info.IsNativeEndian);
    EXPECT_EQ(client->GetBundleID(), info.BundleID);
}

} // namespace
