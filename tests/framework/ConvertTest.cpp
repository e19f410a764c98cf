#include "hal/Convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <locale>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using hal::Convert::FromFoundation;
using hal::Convert::ToFoundation;

// Releases a created reference at the end of the test, whatever its type.
class Owned {
public:
    explicit Owned(CFTypeRef reference) : mReference(reference) {}
    ~Owned() {
        if (mReference != nullptr) CFRelease(mReference);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    CFTypeRef Get() const { return mReference; }

private:
    CFTypeRef mReference;
};

CFTypeRef MakeSInt64(SInt64 value) {
    return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
}

CFTypeRef MakeFloat64(Float64 value) {
    return CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &value);
}

// ---- Text -------------------------------------------------------------------------------------

TEST(ConvertTest, TextSurvivesTheRoundTripThroughEveryStringForm) {
    const std::string texts[] = {
        "",
        "Pelio iPhone",
        "local.pelio.audio.iphone.output",
        "Pelio \xE2\x80\x94 iPhone \xE2\x9C\x93 \xF0\x9F\x8E\xA7",  // dash, check mark, and a pair of UTF-16 units
    };
    for (const std::string& text : texts) {
        CFStringRef string = nullptr;
        ToFoundation(text, string);
        const Owned ownedString(string);
        ASSERT_NE(string, nullptr) << text;
        std::string back = "stale";
        EXPECT_TRUE(FromFoundation(string, back));
        EXPECT_EQ(back, text);

        CFTypeRef object = nullptr;
        ToFoundation(text, object);
        const Owned ownedObject(object);
        ASSERT_NE(object, nullptr) << text;
        EXPECT_EQ(CFGetTypeID(object), CFStringGetTypeID());
        std::string fromObject = "stale";
        EXPECT_TRUE(FromFoundation(object, fromObject));
        EXPECT_EQ(fromObject, text);
    }
}

TEST(ConvertTest, TextThatIsNotUtf8MakesNoString) {
    const std::string invalid = "key\xC3\x28";
    CFStringRef string = reinterpret_cast<CFStringRef>(kCFBooleanTrue);
    ToFoundation(invalid, string);
    EXPECT_EQ(string, nullptr);
    CFTypeRef object = kCFBooleanTrue;
    ToFoundation(invalid, object);
    EXPECT_EQ(object, nullptr);
}

// A C string would end at the NUL: the text would come back cut, and the conversion would say it
// succeeded.
TEST(ConvertTest, TextWithAnEmbeddedNulIsRefusedEitherWay) {
    using namespace std::string_literals;
    for (const std::string& text : {"a\0b"s, "a\0"s, "\0"s, "file:///tmp/a\0b"s}) {
        SCOPED_TRACE(testing::PrintToString(text));
        CFStringRef string = CFSTR("stale");
        ToFoundation(text, string);
        EXPECT_EQ(string, nullptr);
        CFTypeRef object = kCFBooleanTrue;
        ToFoundation(text, object);
        EXPECT_EQ(object, nullptr);
        CFURLRef url = nullptr;
        ToFoundation(text, url);
        const Owned ownedURL(url);
        EXPECT_EQ(url, nullptr);

        // The same text from the host, as a string that holds it all.
        const Owned fromHost(CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                                     static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false));
        ASSERT_NE(fromHost.Get(), nullptr);
        std::string back = "stale";
        EXPECT_FALSE(FromFoundation(static_cast<CFStringRef>(fromHost.Get()), back));
        EXPECT_EQ(back, "");
        back = "stale";
        EXPECT_FALSE(FromFoundation(fromHost.Get(), back));
        EXPECT_EQ(back, "");
    }
}

TEST(ConvertTest, MissingStringOrUrlClearsTheTextAndFails) {
    std::string text = "stale";
    EXPECT_FALSE(FromFoundation(CFStringRef{nullptr}, text));
    EXPECT_EQ(text, "");
    text = "stale";
    EXPECT_FALSE(FromFoundation(CFURLRef{nullptr}, text));
    EXPECT_EQ(text, "");
}

TEST(ConvertTest, UrlTextComesBackEscapedWhereItWasNotUrlText) {
    const struct {
        std::string Text;
        const char* Back;
    } cases[] = {
        {"file:///Library/Audio/Plug-Ins/HAL/PelioDriver.driver/Contents/Resources/icon.icns",
         "file:///Library/Audio/Plug-Ins/HAL/PelioDriver.driver/Contents/Resources/icon.icns"},
        {"file:///Library/Audio/Pelio%20icon.icns", "file:///Library/Audio/Pelio%20icon.icns"},
        {"file:///Library/Audio/Pelio icon.icns", "file:///Library/Audio/Pelio%20icon.icns"},
        {"file:///tmp/caf\xC3\xA9", "file:///tmp/caf%C3%A9"},
        {"", ""},
    };
    for (const auto& testCase : cases) {
        CFURLRef url = nullptr;
        ToFoundation(testCase.Text, url);
        const Owned owned(url);
        ASSERT_NE(url, nullptr) << testCase.Text;
        std::string back = "stale";
        EXPECT_TRUE(FromFoundation(url, back)) << testCase.Text;
        EXPECT_EQ(back, testCase.Back);
    }
}

// ---- Bytes, booleans, numbers -----------------------------------------------------------------

TEST(ConvertTest, BytesSurviveTheRoundTripAndEmptyDataReadsAsAnEmptyList) {
    const std::vector<UInt8> lists[] = {{}, {0}, {0, 1, 0x7F, 0x80, 0xFF}};
    for (const std::vector<UInt8>& bytes : lists) {
        CFTypeRef data = nullptr;
        ToFoundation(bytes, data);
        const Owned owned(data);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(CFGetTypeID(data), CFDataGetTypeID());
        std::vector<UInt8> back = {9, 9, 9};
        EXPECT_TRUE(FromFoundation(data, back));
        EXPECT_EQ(back, bytes);
    }
}

TEST(ConvertTest, BooleansSurviveTheRoundTripAsOwnedObjects) {
    for (const bool value : {true, false}) {
        CFTypeRef object = nullptr;
        ToFoundation(value, object);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(CFGetTypeID(object), CFBooleanGetTypeID());
        bool back = !value;
        EXPECT_TRUE(FromFoundation(object, back));
        EXPECT_EQ(back, value);
        CFRelease(object);  // owned like every other result
    }
    EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
}

TEST(ConvertTest, NumbersSurviveTheRoundTripAtTheirLimits) {
    for (const SInt64 value : {std::numeric_limits<SInt64>::min(), SInt64{-1}, SInt64{0},
                               std::numeric_limits<SInt64>::max()}) {
        CFTypeRef number = nullptr;
        ToFoundation(value, number);
        const Owned owned(number);
        SInt64 back = 7;
        EXPECT_TRUE(FromFoundation(number, back));
        EXPECT_EQ(back, value);
    }
    for (const Float64 value : {0.25, -1e300, 48000.0, std::numeric_limits<Float64>::denorm_min()}) {
        CFTypeRef number = nullptr;
        ToFoundation(value, number);
        const Owned owned(number);
        Float64 back = 7;
        EXPECT_TRUE(FromFoundation(number, back));
        EXPECT_EQ(back, value);
    }
}

TEST(ConvertTest, LossyNumberReadsFailWithZeroAndExactOnesSucceed) {
    const Owned fraction(MakeFloat64(2.5));
    const Owned huge(MakeFloat64(1e30));
    const Owned whole(MakeFloat64(-4.0));
    const Owned beyondDoublePrecision(MakeSInt64((SInt64{1} << 53) + 1));
    const Owned three(MakeSInt64(3));

    const struct {
        const char* Description;
        CFTypeRef Number;
        bool Succeeds;
        SInt64 Expected;
    } integerCases[] = {
        {"a fraction is lost", fraction.Get(), false, 0},
        {"out of range", huge.Get(), false, 0},
        {"a whole double", whole.Get(), true, -4},
    };
    for (const auto& testCase : integerCases) {
        SInt64 value = 7;
        EXPECT_EQ(FromFoundation(testCase.Number, value), testCase.Succeeds) << testCase.Description;
        EXPECT_EQ(value, testCase.Expected) << testCase.Description;
    }

    const struct {
        const char* Description;
        CFTypeRef Number;
        bool Succeeds;
        Float64 Expected;
    } doubleCases[] = {
        {"precision is lost", beyondDoublePrecision.Get(), false, 0.0},
        {"a small integer", three.Get(), true, 3.0},
    };
    for (const auto& testCase : doubleCases) {
        Float64 value = 7.0;
        EXPECT_EQ(FromFoundation(testCase.Number, value), testCase.Succeeds) << testCase.Description;
        EXPECT_EQ(value, testCase.Expected) << testCase.Description;
    }
}

// A reference of the wrong type, or none at all, fails and leaves the value as it was.
TEST(ConvertTest, WrongOrMissingObjectsLeaveTheValueUntouched) {
    CFStringRef text = nullptr;
    ToFoundation(std::string("text"), text);
    const Owned string(text);
    const Owned number(MakeSInt64(1));
    const Owned data(CFDataCreate(kCFAllocatorDefault, nullptr, 0));
    const CFTypeRef boolean = kCFBooleanTrue;

    const struct {
        const char* Description;
        CFTypeRef Object;
        bool ReadsBytes, ReadsText, ReadsBoolean, ReadsNumbers;
    } cases[] = {
        {"a string", string.Get(), false, true, false, false},
        {"a number", number.Get(), false, false, false, true},
        {"a data object", data.Get(), true, false, false, false},
        {"a boolean", boolean, false, false, true, false},
        {"no object", nullptr, false, false, false, false},
    };
    for (const auto& testCase : cases) {
        std::vector<UInt8> bytes = {42};
        std::string textValue = "untouched";
        bool booleanValue = false;
        SInt64 integer = 42;
        Float64 floating = 4.2;
        if (!testCase.ReadsBytes) {
            EXPECT_FALSE(FromFoundation(testCase.Object, bytes)) << testCase.Description;
            EXPECT_EQ(bytes, std::vector<UInt8>{42}) << testCase.Description;
        }
        if (!testCase.ReadsText) {
            EXPECT_FALSE(FromFoundation(testCase.Object, textValue)) << testCase.Description;
            EXPECT_EQ(textValue, "untouched") << testCase.Description;
        }
        if (!testCase.ReadsBoolean) {
            EXPECT_FALSE(FromFoundation(testCase.Object, booleanValue)) << testCase.Description;
            EXPECT_FALSE(booleanValue) << testCase.Description;
        }
        if (!testCase.ReadsNumbers) {
            EXPECT_FALSE(FromFoundation(testCase.Object, integer)) << testCase.Description;
            EXPECT_EQ(integer, 42) << testCase.Description;
            EXPECT_FALSE(FromFoundation(testCase.Object, floating)) << testCase.Description;
            EXPECT_EQ(floating, 4.2) << testCase.Description;
        }
    }
}

// ---- Text forms -------------------------------------------------------------------------------

TEST(ConvertTest, NumbersPrintLikePrintfGeneralFormat) {
    const struct {
        Float64 Number;
        const char* Expected;
    } cases[] = {
        {48000.0, "48000"},   {44100.5, "44100.5"},      {0.25, "0.25"},     {1000000.0, "1e+06"},
        {1234567.0, "1.23457e+06"}, {0.0001, "0.0001"}, {0.00001, "1e-05"}, {-0.5, "-0.5"},
        {0.0, "0"},           {96000.000001, "96000"},
    };
    for (const auto& testCase : cases) {
        const AudioValueRange range{testCase.Number, testCase.Number};
        const std::string expected = std::string("{min:") + testCase.Expected + " max:" + testCase.Expected + "}";
        EXPECT_EQ(hal::Convert::FormatValue(range), expected);
    }
}

// Decimal comma and grouped thousands, as many European locales write numbers.
class CommaDecimalPoint : public std::numpunct<char> {
protected:
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

// Trace text must read the same whatever locale the process runs in.
TEST(ConvertTest, NumbersPrintTheSameUnderAnyGlobalLocale) {
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new CommaDecimalPoint));
    const std::string range = hal::Convert::FormatValue(AudioValueRange{44100.5, 1234567.0});
    AudioStreamBasicDescription format{};
    format.mSampleRate = 48000.0;
    format.mFormatID = kAudioFormatLinearPCM;
    const std::string formatted = hal::Convert::FormatValue(format);
    std::locale::global(previous);

    EXPECT_EQ(range, "{min:44100.5 max:1.23457e+06}");
    EXPECT_EQ(formatted, "{id:kAudioFormatLinearPCM flags: rate:48000 bits:0 chans:0 pkt:0}");
}

AudioStreamBasicDescription MakeFloatFormat() {
    AudioStreamBasicDescription format{};
    format.mSampleRate = 48000.0;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    format.mBytesPerPacket = 8;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 8;
    format.mChannelsPerFrame = 2;
    format.mBitsPerChannel = 32;
    return format;
}

TEST(ConvertTest, FormatsPrintTheirIdentifyingFields) {
    EXPECT_EQ(hal::Convert::FormatValue(AudioValueRange{44100.0, 48000.0}), "{min:44100 max:48000}");
    EXPECT_EQ(hal::Convert::FormatValue(MakeFloatFormat()),
              "{id:kAudioFormatLinearPCM flags:kAudioFormatFlagIsFloat|kAudioFormatFlagIsPacked rate:48000 bits:32 "
              "chans:2 pkt:1}");

    const AudioStreamRangedDescription ranged{MakeFloatFormat(), {44100.0, 96000.0}};
    EXPECT_EQ(hal::Convert::FormatValue(ranged),
              "{id:kAudioFormatLinearPCM flags:kAudioFormatFlagIsFloat|kAudioFormatFlagIsPacked rate:48000 bits:32 "
              "chans:2 pkt:1 minRate:44100 maxRate:96000}");

    AudioStreamBasicDescription unknown{};
    unknown.mFormatID = 'abcd';
    unknown.mSampleRate = 22050.25;
    EXPECT_EQ(hal::Convert::FormatValue(unknown), "{id:'abcd' (0x61626364) flags: rate:22050.2 bits:0 chans:0 pkt:0}");
}

TEST(ConvertTest, ListsJoinTheirElementsBetweenBrackets) {
    using hal::Convert::FormatArray;
    const AudioStreamRangedDescription ranged{MakeFloatFormat(), {48000.0, 48000.0}};
    const AudioChannelDescription channels[2] = {};
    const AudioServerPlugInCustomPropertyInfo customProperty{};

    const struct {
        const char* Description;
        std::string Text;
        const char* Expected;
    } cases[] = {
        {"empty integers", FormatArray(std::vector<UInt32>{}), "[]"},
        {"empty ranges", FormatArray(std::vector<AudioValueRange>{}), "[]"},
        {"empty bytes", FormatArray(std::vector<UInt8>{}), "[]"},
        {"one integer", FormatArray(std::vector<UInt32>{2}), "[2]"},
        {"two integers", FormatArray(std::vector<UInt32>{2, 3}), "[2, 3]"},
        {"the largest integer", FormatArray(std::vector<UInt32>{0xFFFFFFFF}), "[4294967295]"},
        {"bytes print as numbers, not characters", FormatArray(std::vector<UInt8>{0, 65, 255}), "[0, 65, 255]"},
        {"ranges", FormatArray(std::vector<AudioValueRange>{{44100, 44100}, {48000, 96000}}),
         "[{min:44100 max:44100}, {min:48000 max:96000}]"},
        {"one ranged format", FormatArray(std::vector<AudioStreamRangedDescription>{ranged}),
         "[{id:kAudioFormatLinearPCM flags:kAudioFormatFlagIsFloat|kAudioFormatFlagIsPacked rate:48000 bits:32 "
         "chans:2 pkt:1 minRate:48000 maxRate:48000}]"},
        {"channel descriptions", FormatArray(channels), "[..., ...]"},
        {"custom property infos", FormatArray(std::span(&customProperty, 1)), "[...]"},
        {"no custom property infos", FormatArray(std::span<const AudioServerPlugInCustomPropertyInfo>{}), "[]"},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(testCase.Text, testCase.Expected) << testCase.Description;
    }
    EXPECT_EQ(hal::Convert::ToString("Pelio Audio"), "Pelio Audio");
}

// ---- UIDs -------------------------------------------------------------------------------------

TEST(ConvertTest, GeneratedUidsHaveFourGroupsOfHexadecimalDigitsAndDiffer) {
    const std::regex shape("[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}");
    const std::string first = hal::GenerateUID();
    const std::string second = hal::GenerateUID();
    EXPECT_TRUE(std::regex_match(first, shape)) << first;
    EXPECT_TRUE(std::regex_match(second, shape)) << second;
    EXPECT_NE(first, second);

    // Each thread seeds its own generator from the device: two new threads do not repeat each
    // other's sequence.
    std::string fromThreads[2];
    std::thread([&] { fromThreads[0] = hal::GenerateUID(); }).join();
    std::thread([&] { fromThreads[1] = hal::GenerateUID(); }).join();
    EXPECT_TRUE(std::regex_match(fromThreads[0], shape)) << fromThreads[0];
    EXPECT_NE(fromThreads[0], fromThreads[1]);
}

}  // namespace
