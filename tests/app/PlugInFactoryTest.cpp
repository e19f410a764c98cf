#include "PlugInFactory.h"

#include "PelioAssembly.h"

#include "hal/Context.h"
#include "hal/Device.h"
#include "hal/Driver.h"
#include "hal/Plugin.h"
#include "hal/Stream.h"
#include "hal/Tracer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <new>
#include <thread>
#include <vector>

namespace {

std::shared_ptr<hal::Driver> MakeSilentDriver()
{
    auto context = std::make_shared<hal::Context>(
        std::make_shared<hal::Tracer>(hal::Tracer::Mode::Disabled, hal::Tracer::Style::Flat));
    return std::make_shared<hal::Driver>(context);
}

// Fails its first two builds, as memory exhaustion would, then succeeds.
struct FlakyBuild
{
    std::shared_ptr<hal::Driver> operator()()
    {
        if (++calls <= 2) {
            throw std::bad_alloc();
        }
        return MakeSilentDriver();
    }
    int calls = 0;
};

TEST(PlugInFactory, ABuildThatThrowsAnswersNullAndTheNextCallTriesAgain)
{
    FlakyBuild build;
    EXPECT_EQ(pelio::MakePlugIn(kAudioServerPlugInTypeUUID, build), nullptr);
    EXPECT_EQ(pelio::MakePlugIn(kAudioServerPlugInTypeUUID, build), nullptr);
    void* const reference = pelio::MakePlugIn(kAudioServerPlugInTypeUUID, build);
    ASSERT_NE(reference, nullptr);
    EXPECT_EQ(build.calls, 3);
    EXPECT_EQ(pelio::MakePlugIn(kAudioServerPlugInTypeUUID, build), reference);
    EXPECT_EQ(build.calls, 3);
}

struct CountingBuild
{
    std::shared_ptr<hal::Driver> operator()()
    {
        calls.fetch_add(1);
        // Long enough for the other callers to arrive while this one builds.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return MakeSilentDriver();
    }
    std::atomic<int> calls{0};
};

TEST(PlugInFactory, OtherTypesAndConcurrentFirstCalls)
{
    CountingBuild build;
    EXPECT_EQ(pelio::MakePlugIn(nullptr, build), nullptr);
    EXPECT_EQ(pelio::MakePlugIn(kAudioServerPlugInDriverInterfaceUUID, build), nullptr);
    EXPECT_EQ(build.calls.load(), 0);

    std::vector<void*> references(6, nullptr);
    std::vector<std::thread> callers;
    for (std::size_t index = 0; index < references.size(); ++index) {
        callers.emplace_back([&, index] { references[index] = pelio::MakePlugIn(kAudioServerPlugInTypeUUID, build); });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(build.calls.load(), 1);
    for (void* reference : references) {
        EXPECT_NE(reference, nullptr);
        EXPECT_EQ(reference, references[0]);
    }
    EXPECT_EQ(pelio::MakePlugIn(IUnknownUUID, build), nullptr);
}

TEST(PelioAssembly, TheTreeHasOneDeviceWithOneOutputStream)
{
    const std::shared_ptr<hal::Driver> driver = pelio::createDriver();
    const auto plugin = driver->GetPlugin();
    ASSERT_EQ(plugin->GetID(), kAudioObjectPlugInObject);
    ASSERT_EQ(plugin->GetDeviceCount(), 1u);
    const auto device = plugin->GetDeviceByIndex(0);
    EXPECT_EQ(device->GetID(), 2u);
    EXPECT_EQ(device->GetName(), "Pelio iPhone");
    EXPECT_EQ(device->GetCanBeDefaultDevice(), true);
    EXPECT_EQ(device->GetCanBeDefaultSystemDevice(), false);
    EXPECT_EQ(device->GetContext()->Tracer->GetMode(), hal::Tracer::Mode::Disabled);
    EXPECT_EQ(device->GetStreamCount(hal::Direction::Output), 1u);
    EXPECT_EQ(device->GetStreamCount(hal::Direction::Input), 0u);
    const auto stream = device->GetStreamByIndex(hal::Direction::Output, 0);
    EXPECT_EQ(stream->GetID(), 3u);
    EXPECT_EQ(stream->GetOwnerID(), 2u);
    EXPECT_EQ(stream->ConvertFramesToBytes(512), 4096u);
    EXPECT_EQ(stream->GetStartingChannel(), 1u);
    // One handler in both roles.
    EXPECT_EQ(dynamic_cast<void*>(device->GetControlHandler()), dynamic_cast<void*>(device->GetIOHandler()));
    // Nothing is pending: the stream was applied at once.
    EXPECT_EQ(device->GetStreamIDs(kAudioObjectPropertyScopeOutput), std::vector<AudioObjectID>{3});
}

} // namespace
