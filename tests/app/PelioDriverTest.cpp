// The PelioDriver bundle as the audio server meets it: its Info.plist, the one symbol its module
// exports, and the factory and driver reached by loading the module and calling through the
// interface table.

#include "DatagramReceiver.h"

#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kBundle = PELIO_DRIVER_BUNDLE;
const std::string kModule = kBundle + "/Contents/MacOS/PelioDriver";

using Factory = void* (*)(CFAllocatorRef, CFUUIDRef);

// The module loaded from `path` with its own copy of everything (RTLD_LOCAL), and its factory.
struct LoadedModule
{
    explicit LoadedModule(const std::string& path)
        : handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL))
    {
        if (handle != nullptr) {
            factory = reinterpret_cast<Factory>(dlsym(handle, "PelioEntryPoint"));
        }
    }
    // Never unloaded, as the audio server never unloads a plug-in.
    void* handle;
    Factory factory = nullptr;
};

LoadedModule& Module()
{
    static LoadedModule module(kModule);
    return module;
}

// A copy of the module under a name of its own: loading it gives a fresh process-wide driver.
std::string FreshCopyOfTheModule()
{
    static std::atomic<int> counter{0};
    const auto path = std::filesystem::temp_directory_path() /
                      ("PelioDriver-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".so");
    std::filesystem::copy_file(kModule, path, std::filesystem::copy_options::overwrite_existing);
    return path.string();
}

AudioServerPlugInDriverRef Create(Factory factory)
{
    return static_cast<AudioServerPlugInDriverRef>(factory(kCFAllocatorDefault, kAudioServerPlugInTypeUUID));
}

std::string TextOf(CFStringRef string)
{
    char text[256] = {};
    if (string != nullptr) {
        CFStringGetCString(string, text, sizeof text, kCFStringEncodingUTF8);
        CFRelease(string);
    }
    return text;
}

// Property reads through the interface table, as the host makes them.
struct Host
{
    explicit Host(AudioServerPlugInDriverRef driverReference) : reference(driverReference), table(**driverReference) {}

    template <class T>
    T Read(AudioObjectID objectID, AudioObjectPropertySelector selector,
           AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal)
    {
        const AudioObjectPropertyAddress address{selector, scope, kAudioObjectPropertyElementMain};
        T value{};
        UInt32 size = 0;
        EXPECT_EQ(table.GetPropertyData(reference, objectID, 0, &address, 0, nullptr, sizeof value, &size, &value), 0)
            << "selector " << selector;
        EXPECT_EQ(size, sizeof value);
        return value;
    }

    std::string ReadText(AudioObjectID objectID, AudioObjectPropertySelector selector)
    {
        return TextOf(Read<CFStringRef>(objectID, selector));
    }

    std::vector<AudioObjectID> ReadIDs(AudioObjectID objectID, AudioObjectPropertySelector selector)
    {
        const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
        std::vector<AudioObjectID> ids(8);
        UInt32 size = 0;
        EXPECT_EQ(table.GetPropertyData(reference, objectID, 0, &address, 0, nullptr,
                                        static_cast<UInt32>(ids.size() * sizeof(AudioObjectID)), &size, ids.data()),
                  0);
        ids.resize(size / sizeof(AudioObjectID));
        return ids;
    }

    AudioServerPlugInDriverRef reference;
    const AudioServerPlugInDriverInterface& table;
};

// ---- The bundle as files ---------------------------------------------------------------------------

std::string StringIn(plist_t dictionary, const char* key)
{
    plist_t node = plist_dict_get_item(dictionary, key);
    char* value = nullptr;
    if (node != nullptr && plist_get_node_type(node) == PLIST_STRING) {
        plist_get_string_val(node, &value);
    }
    std::string text = value != nullptr ? value : "";
    free(value);
    return text;
}

TEST(PelioDriverBundle, InfoPlistDeclaresTheFactoryForTheAudioServerType)
{
    std::ifstream file(kBundle + "/Contents/Info.plist", std::ios::binary);
    ASSERT_TRUE(file) << kBundle;
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    plist_t root = nullptr;
    plist_from_memory(text.data(), static_cast<uint32_t>(text.size()), &root);
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(plist_get_node_type(root), PLIST_DICT);
    const std::unique_ptr<void, void (*)(plist_t)> owner(root, plist_free);

    EXPECT_EQ(StringIn(root, "CFBundlePackageType"), "BNDL");
    EXPECT_EQ(StringIn(root, "CFBundleIdentifier"), "local.pelio.audio.driver");
    EXPECT_EQ(StringIn(root, "CFBundleExecutable"), "PelioDriver");
    EXPECT_TRUE(std::filesystem::is_regular_file(kBundle + "/Contents/MacOS/" + StringIn(root, "CFBundleExecutable")));
    EXPECT_EQ(StringIn(root, "CFBundleVersion"), "1.0.0");
    EXPECT_EQ(StringIn(root, "CFBundleShortVersionString"), "1.0.0");

    plist_t network = plist_dict_get_item(root, "AudioServerPlugIn_Network");
    ASSERT_NE(network, nullptr);
    ASSERT_EQ(plist_get_node_type(network), PLIST_BOOLEAN);
    uint8_t isNetwork = 0;
    plist_get_bool_val(network, &isNetwork);
    EXPECT_TRUE(isNetwork);

    // One factory, under a UUID in its canonical form, named PelioEntryPoint...
    plist_t factories = plist_dict_get_item(root, "CFPlugInFactories");
    ASSERT_NE(factories, nullptr);
    ASSERT_EQ(plist_dict_get_size(factories), 1u);
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(factories, &iterator);
    char* factoryUUID = nullptr;
    plist_t factoryName = nullptr;
    plist_dict_next_item(factories, iterator, &factoryUUID, &factoryName);
    free(iterator);
    ASSERT_NE(factoryUUID, nullptr);
    const std::string uuid = factoryUUID;
    free(factoryUUID);
    EXPECT_TRUE(std::regex_match(uuid, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
        << uuid;
    EXPECT_EQ(StringIn(factories, uuid.c_str()), "PelioEntryPoint");

    // ...and the audio server plug-in type names that factory.
    plist_t types = plist_dict_get_item(root, "CFPlugInTypes");
    ASSERT_NE(types, nullptr);
    plist_t forAudioServer = plist_dict_get_item(types, "443ABAB8-E7B3-491A-B985-BEB9187030DB");
    ASSERT_NE(forAudioServer, nullptr);
    ASSERT_EQ(plist_get_node_type(forAudioServer), PLIST_ARRAY);
    ASSERT_EQ(plist_array_get_size(forAudioServer), 1u);
    char* named = nullptr;
    plist_get_string_val(plist_array_get_item(forAudioServer, 0), &named);
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(std::string(named), uuid);
    free(named);
}

TEST(PelioDriverBundle, TheModuleExportsTheFactoryAndNothingElseOfOurs)
{
    const std::string command = "nm -D --defined-only '" + kModule + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> symbols;
    char line[1024];
    while (fgets(line, sizeof line, pipe) != nullptr) {
        // "<address> <type> <name>"
        const std::string text(line);
        const auto nameStart = text.find_last_of(' ');
        if (nameStart != std::string::npos) {
            symbols.insert(text.substr(nameStart + 1, text.find_last_not_of("\r\n") - nameStart));
        }
    }
    ASSERT_EQ(pclose(pipe), 0) << command;
    // The linker's own markers of the data segment are no code of ours.
    for (const char* marker : {"_edata", "_end", "__bss_start"}) {
        symbols.erase(marker);
    }
    EXPECT_EQ(symbols, std::set<std::string>{"PelioEntryPoint"});
}

// ---- The factory ---------------------------------------------------------------------------------------

TEST(PelioDriverFactory, AnswersOnlyTheAudioServerPlugInType)
{
    LoadedModule& module = Module();
    ASSERT_NE(module.handle, nullptr) << dlerror();
    ASSERT_NE(module.factory, nullptr);

    const CFUUIDRef other = CFUUIDGetConstantUUIDWithBytes(nullptr, 0x44, 0x3A, 0xBA, 0xB8, 0xE7, 0xB3, 0x49, 0x1A, 0xB9,
                                                           0x85, 0xBE, 0xB9, 0x18, 0x70, 0x30, 0xDC);
    EXPECT_EQ(module.factory(kCFAllocatorDefault, other), nullptr);
    EXPECT_EQ(module.factory(kCFAllocatorDefault, kAudioServerPlugInDriverInterfaceUUID), nullptr);
    EXPECT_EQ(module.factory(kCFAllocatorDefault, nullptr), nullptr);

    const AudioServerPlugInDriverRef first = Create(module.factory);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Create(module.factory), first);
    // Also once the tree exists.
    EXPECT_EQ(module.factory(kCFAllocatorDefault, other), nullptr);
    // The factory counts nothing: the host's QueryInterface and AddRef do.
    EXPECT_EQ((*first)->AddRef(first), 1u);
    EXPECT_EQ((*first)->Release(first), 0u);
}

TEST(PelioDriverFactory, ConcurrentFirstCallsBuildOneDriver)
{
    const LoadedModule module(FreshCopyOfTheModule());
    ASSERT_NE(module.factory, nullptr) << dlerror();
    constexpr int kCallers = 8;
    std::array<AudioServerPlugInDriverRef, kCallers> references{};
    std::atomic<int> ready{0};
    std::vector<std::thread> callers;
    for (int index = 0; index < kCallers; ++index) {
        callers.emplace_back([&, index] {
            ready.fetch_add(1);
            while (ready.load() < kCallers) {
            }
            references[index] = Create(module.factory);
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
    ASSERT_NE(references[0], nullptr);
    for (const AudioServerPlugInDriverRef reference : references) {
        EXPECT_EQ(reference, references[0]);
    }
}

TEST(PelioDriverFactory, TheTreeIsThePelioDevice)
{
    Host host(Create(Module().factory));
    HRESULT (*query)(void*, REFIID, LPVOID*) = host.table.QueryInterface;
    void* answer = nullptr;
    ASSERT_EQ(query(host.reference, CFUUIDGetUUIDBytes(kAudioServerPlugInDriverInterfaceUUID), &answer), S_OK);
    EXPECT_EQ(answer, host.reference);
    host.table.Release(host.reference);

    EXPECT_EQ(host.Read<AudioClassID>(kAudioObjectPlugInObject, kAudioObjectPropertyClass), kAudioPlugInClassID);
    EXPECT_EQ(host.ReadIDs(kAudioObjectPlugInObject, kAudioPlugInPropertyDeviceList), std::vector<AudioObjectID>{2});
    EXPECT_EQ(host.Read<AudioClassID>(2, kAudioObjectPropertyClass), kAudioDeviceClassID);
    EXPECT_EQ(host.Read<AudioObjectID>(2, kAudioObjectPropertyOwner), kAudioObjectPlugInObject);
    EXPECT_EQ(host.ReadIDs(2, kAudioDevicePropertyStreams), std::vector<AudioObjectID>{3});
    EXPECT_EQ(host.Read<AudioClassID>(3, kAudioObjectPropertyClass), kAudioStreamClassID);
    EXPECT_EQ(host.Read<UInt32>(3, kAudioStreamPropertyDirection), 0u);

    EXPECT_EQ(host.ReadText(kAudioObjectPlugInObject, kAudioObjectPropertyManufacturer), "Virtual Audio");
    EXPECT_EQ(host.ReadText(2, kAudioObjectPropertyName), "Pelio iPhone");
    EXPECT_EQ(host.ReadText(2, kAudioObjectPropertyManufacturer), "Pelio Audio");
    EXPECT_EQ(host.ReadText(2, kAudioDevicePropertyDeviceUID), "local.pelio.audio.iphone.output");
    EXPECT_EQ(host.ReadText(2, kAudioDevicePropertyModelUID), "local.pelio.audio.iphone");
    EXPECT_EQ(host.ReadText(2, kAudioDevicePropertyConfigurationApplication), "local.pelio.audio");
    EXPECT_EQ(host.Read<Float64>(2, kAudioDevicePropertyNominalSampleRate), 48000.0);
    EXPECT_EQ(host.Read<UInt32>(2, kAudioDevicePropertyDeviceCanBeDefaultDevice, kAudioObjectPropertyScopeOutput), 1u);
    EXPECT_EQ(host.Read<UInt32>(2, kAudioDevicePropertyDeviceCanBeDefaultSystemDevice, kAudioObjectPropertyScopeOutput),
              0u);

    // Translating the probe's UID finds the device.
    const AudioObjectPropertyAddress translate{kAudioPlugInPropertyTranslateUIDToDevice,
                                               kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    CFStringRef uid = CFSTR("local.pelio.audio.iphone.output");
    AudioObjectID found = 0;
    UInt32 size = 0;
    EXPECT_EQ(host.table.GetPropertyData(host.reference, kAudioObjectPlugInObject, 0, &translate, sizeof uid, &uid,
                                         sizeof found, &size, &found),
              0);
    EXPECT_EQ(found, 2u);

    const AudioStreamBasicDescription expected{48000.0, kAudioFormatLinearPCM,
                                               kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 8, 1, 8, 2, 32, 0};
    for (const AudioObjectPropertySelector selector : {kAudioStreamPropertyVirtualFormat, kAudioStreamPropertyPhysicalFormat}) {
        const auto format = host.Read<AudioStreamBasicDescription>(3, selector);
        EXPECT_EQ(std::memcmp(&format, &expected, sizeof format), 0) << selector;
    }
}

// The Pelio port is fixed: this test takes 47583 on loopback, so it must not run beside anything
// else that listens there (CTest keeps it apart from the other users of the port).
TEST(PelioDriverFactory, AWriteMixOf512FramesLeavesAsOneDatagram)
{
    std::string whyNot;
    const auto receiver = pelio::DatagramReceiver::OnPelioPort(whyNot);
    ASSERT_NE(receiver, nullptr) << whyNot;
    Host host(Create(Module().factory));
    const AudioServerPlugInClientInfo client{5, getpid(), 1, nullptr};
    ASSERT_EQ(host.table.AddDeviceClient(host.reference, 2, &client), 0);
    ASSERT_EQ(host.table.StartIO(host.reference, 2, 5), 0);
    EXPECT_EQ(host.Read<UInt32>(2, kAudioDevicePropertyDeviceIsRunning), 1u);

    std::array<Float32, 512 * 2> mix{};
    for (std::size_t index = 0; index < mix.size(); ++index) {
        mix[index] = static_cast<Float32>(index) / 1024.0f - 0.5f;
    }
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mIOCycleCounter = 1;
    cycle.mNominalIOBufferFrameSize = 512;
    ASSERT_EQ(host.table.BeginIOOperation(host.reference, 2, 5, kAudioServerPlugInIOOperationWriteMix, 512, &cycle), 0);
    ASSERT_EQ(host.table.DoIOOperation(host.reference, 2, 3, 5, kAudioServerPlugInIOOperationWriteMix, 512, &cycle,
                                       mix.data(), nullptr),
              0);
    ASSERT_EQ(host.table.EndIOOperation(host.reference, 2, 5, kAudioServerPlugInIOOperationWriteMix, 512, &cycle), 0);

    const std::optional<pelio::Datagram> datagram = receiver->Receive(std::chrono::milliseconds(2000));
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->bytes.size(), 16u + 4096u);
    EXPECT_EQ(datagram->GetFrameCount(), 512u);
    EXPECT_EQ(datagram->GetSampleRate(), 48000u);
    EXPECT_EQ(datagram->GetChannelCount(), 2u);
    ASSERT_EQ(datagram->GetPayload().size(), sizeof mix);
    EXPECT_EQ(std::memcmp(datagram->GetPayload().data(), mix.data(), sizeof mix), 0);

    EXPECT_EQ(host.table.StopIO(host.reference, 2, 5), 0);
    EXPECT_EQ(host.table.RemoveDeviceClient(host.reference, 2, &client), 0);
}

// The audio server's threads may still call in while it exits: the tree must outlive every static
// destructor. A child process exits while one of its threads reads properties and the sender
// thread runs; it must end with status 0 (under AddressSanitizer: without a finding).
TEST(PelioDriverFactory, ExitingWhileTheHostStillCallsInDestroysNothing)
{
    const std::string copy = FreshCopyOfTheModule();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Registered before the driver exists, so it runs after any destructor the driver could
        // have registered: the reader then goes on calling into whatever exit has left.
        std::atexit([] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
        const LoadedModule module(copy);
        if (module.factory == nullptr) {
            _exit(3);
        }
        Host host(Create(module.factory));
        const AudioServerPlugInClientInfo client{5, getpid(), 1, nullptr};
        if (host.table.AddDeviceClient(host.reference, 2, &client) != 0 || host.table.StartIO(host.reference, 2, 5) != 0) {
            _exit(4);
        }
        std::atomic<bool> reading{false};
        std::thread([&] {
            const AudioObjectPropertyAddress address{kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, 0};
            for (;;) {
                CFStringRef name = nullptr;
                UInt32 size = 0;
                host.table.GetPropertyData(host.reference, 2, 0, &address, 0, nullptr, sizeof name, &size, &name);
                if (name != nullptr) {
                    CFRelease(name);
                }
                reading.store(true);
            }
        }).detach();
        while (!reading.load()) {
        }
        std::exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
}

} // namespace
