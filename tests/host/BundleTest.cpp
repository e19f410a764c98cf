// The bundles that pelio_add_driver_bundle builds: laid out as on macOS, described by an
// Info.plist that a real property-list parser reads, exporting the factory alone and using the
// one shared copy of the platform.

#include "HostTestSupport.h"

#include <plist/plist.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <dlfcn.h>

namespace pelio::host::test {
namespace {

const std::string kBundle = std::string(PELIO_TEST_BUNDLE_DIRECTORY) + "/StandIn.driver";

std::string StringAt(plist_t dictionary, const char* key)
{
    const plist_t node = plist_dict_get_item(dictionary, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
        return {};
    }
    char* value = nullptr;
    plist_get_string_val(node, &value);
    std::string text = value;
    std::free(value);
    return text;
}

TEST(Bundle, InfoPlistNamesTheFactoryForTheAudioServerType)
{
    std::ifstream file(kBundle + "/Contents/Info.plist");
    std::stringstream text;
    text << file.rdbuf();
    const std::string xml = text.str();
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(plist_get_node_type(root), PLIST_DICT);

    EXPECT_EQ(StringAt(root, "CFBundlePackageType"), "BNDL");
    EXPECT_EQ(StringAt(root, "CFBundleIdentifier"), "local.pelio.test.standin");
    EXPECT_FALSE(StringAt(root, "CFBundleVersion").empty());
    EXPECT_FALSE(StringAt(root, "CFBundleShortVersionString").empty());
    const std::string executable = StringAt(root, "CFBundleExecutable");
    EXPECT_EQ(executable, "StandIn");
    EXPECT_TRUE(std::filesystem::is_regular_file(kBundle + "/Contents/MacOS/" + executable));

    const plist_t types = plist_dict_get_item(root, "CFPlugInTypes");
    ASSERT_NE(types, nullptr);
    const plist_t factoriesOfType = plist_dict_get_item(types, "443ABAB8-E7B3-491A-B985-BEB9187030DB");
    ASSERT_NE(factoriesOfType, nullptr);
    ASSERT_EQ(plist_array_get_size(factoriesOfType), 1u);
    char* factoryUUID = nullptr;
    plist_get_string_val(plist_array_get_item(factoriesOfType, 0), &factoryUUID);
    ASSERT_NE(factoryUUID, nullptr);
    EXPECT_TRUE(std::regex_match(factoryUUID, std::regex("[0-9A-F]{8}-([0-9A-F]{4}-){3}[0-9A-F]{12}")));
    EXPECT_EQ(StringAt(plist_dict_get_item(root, "CFPlugInFactories"), factoryUUID), "TestDriverFactory");
    std::free(factoryUUID);

    const plist_t network = plist_dict_get_item(root, "AudioServerPlugIn_Network");
    ASSERT_NE(network, nullptr);
    EXPECT_TRUE(plist_bool_val_is_true(network));
    plist_free(root);
}

TEST(Bundle, ExportsTheFactoryAndSharesThePlatform)
{
    const CommandResult symbols =
        RunCommand({"/usr/bin/nm", "-D", "--defined-only", kBundle + "/Contents/MacOS/StandIn"}, "");
    ASSERT_EQ(symbols.exitStatus, 0) << symbols.err;
    std::istringstream lines(symbols.out);
    std::vector<std::string> ours;
    for (std::string line; std::getline(lines, line);) {
        const std::string name = line.substr(line.rfind(' ') + 1);
        // What the toolchain and the sanitizer runtimes define is not the module's own.
        if (!name.starts_with("_") && name != "TestDriverFactory") {
            ours.push_back(name);
        }
    }
    EXPECT_NE(symbols.out.find(" T TestDriverFactory\n"), std::string::npos) << symbols.out;
    EXPECT_TRUE(ours.empty()) << symbols.out;

    // The module's CoreFoundation is the process's: the same functions, from the one library.
    void* module = dlopen((kBundle + "/Contents/MacOS/StandIn").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    EXPECT_EQ(dlsym(module, "CFRetain"), reinterpret_cast<void*>(&CFRetain));
    Dl_info where{};
    ASSERT_NE(dladdr(dlsym(module, "CFRetain"), &where), 0);
    EXPECT_NE(std::string(where.dli_fname).find("libpelio_platform"), std::string::npos) << where.dli_fname;
}

} // namespace
} // namespace pelio::host::test
