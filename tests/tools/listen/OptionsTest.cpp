#include "Options.h"

#include <gtest/gtest.h>

#include <vector>

namespace pelio::listen {
namespace {

ParsedOptions Parse(std::vector<const char*> arguments)
{
    return ParseOptions(arguments);
}

TEST(Options, ReadsEveryOptionInBothForms)
{
    const ParsedOptions defaults = Parse({});
    ASSERT_TRUE(defaults.options);
    EXPECT_EQ(defaults.options->port, 47583);
    EXPECT_FALSE(defaults.options->seconds);
    EXPECT_FALSE(defaults.options->packets);

    const ParsedOptions parsed = Parse({"--port", "0", "--seconds=2.5", "--packets", "10", "--wav", "a.wav",
                                        "--raw=-", "--spectrogram", "a.png", "--arrivals=a.csv", "--json"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const Options& options = *parsed.options;
    EXPECT_EQ(options.port, 0);
    EXPECT_EQ(options.seconds, 2.5);
    EXPECT_EQ(options.packets, 10u);
    EXPECT_EQ(options.wavPath, "a.wav");
    EXPECT_EQ(options.rawPath, "-");
    EXPECT_EQ(options.spectrogramPath, "a.png");
    EXPECT_EQ(options.arrivalsPath, "a.csv");
    EXPECT_TRUE(options.json);
}

TEST(Options, RefusesWrongCommandLinesWithAReason)
{
    const struct {
        std::vector<const char*> arguments;
        const char* reason;
    } cases[] = {
        {{"--port", "65536"}, "--port takes"},
        {{"--port", "-1"}, "--port takes"},
        {{"--port", "80x"}, "--port takes"},
        {{"--port"}, "missing value for --port"},
        {{"--seconds", "0"}, "--seconds takes"},
        {{"--seconds", "inf"}, "--seconds takes"},
        {{"--packets", "0"}, "--packets takes"},
        {{"--wav="}, "--wav takes a path"},
        {{"--spectrogram", "a.png"}, "needs --wav"},
        {{"--colour", "red"}, "unknown option --colour"},
        {{"out.wav"}, "unexpected argument 'out.wav'"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.arguments.front());
        const ParsedOptions parsed = Parse(testCase.arguments);
        EXPECT_FALSE(parsed.options);
        EXPECT_NE(parsed.error.find(testCase.reason), std::string::npos) << parsed.error;
    }
}

} // namespace
} // namespace pelio::listen
