// Strings (UTF-8 in and out, lengths in UTF-16 units, CFSTR constants) and URLs.
#include "CFTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using cftest::MakeString;
using cftest::Own;
using cftest::Owned;

// Reads a string back the way the system's conversion does: a buffer of the maximum size plus one.
std::string ReadUTF8(CFStringRef string) {
    const CFIndex size = CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8);
    std::vector<char> buffer(size_t(size) + 1, 'x');
    if (!CFStringGetCString(string, buffer.data(), size + 1, kCFStringEncodingUTF8)) return "<failed>";
    return buffer.data();
}

struct RoundTrip {
    const char* text;
    CFIndex utf16Length;
};

TEST(CFString, UTF8RoundTripsAndCountsUTF16Units) {
    const RoundTrip cases[] = {
        {"", 0},
        {"Pelio iPhone", 12},
        {"Gr\u00fc\u00dfe", 5},                    // 2-byte sequences
        {"\u65e5\u672c\u8a9e", 3},                 // 3-byte sequences
        {"ear\U0001F3A7phones", 11},              // a 4-byte sequence is a surrogate pair: 2 units
        {"a\u00e9\u20ac\U0001D11Ez", 6},           // every sequence length embedded in one text
    };
    for (const auto& [text, utf16Length] : cases) {
        SCOPED_TRACE(text);
        auto string = MakeString(text);
        ASSERT_NE(string, nullptr);
        EXPECT_EQ(CFStringGetLength(string.get()), utf16Length);
        EXPECT_EQ(ReadUTF8(string.get()), text);
        if (const char* inPlace = CFStringGetCStringPtr(string.get(), kCFStringEncodingUTF8)) {
            EXPECT_STREQ(inPlace, text);
        }
    }
}

TEST(CFString, GetCStringFailsWhenTheBufferIsTooSmall) {
    const std::string text = "Gr\u00fc\u00dfe";  // 7 bytes
    auto string = MakeString(text.c_str());
    std::vector<char> buffer(16, 'x');
    // The terminator needs a byte too; a buffer that cuts a multi-byte character fails as well.
    for (CFIndex size : {CFIndex(0), CFIndex(3), CFIndex(text.size())}) {
        SCOPED_TRACE(size);
        EXPECT_FALSE(CFStringGetCString(string.get(), buffer.data(), size, kCFStringEncodingUTF8));
        if (size > 0) {
            EXPECT_EQ(buffer[0], '\0') << "no partial text is left behind";
        }
    }
    EXPECT_TRUE(CFStringGetCString(string.get(), buffer.data(), CFIndex(text.size()) + 1, kCFStringEncodingUTF8));
    EXPECT_EQ(std::string(buffer.data()), text);
}

TEST(CFString, RejectsMalformedUTF8) {
    const char* const cases[] = {
        "\x80",              // stray continuation byte
        "\xC3",              // truncated 2-byte sequence
        "ab\xE6\x97",        // truncated 3-byte sequence at the end
        "\xC0\x80",          // overlong encoding of NUL
        "\xE0\x80\xAF",      // overlong encoding of '/'
        "\xED\xA0\x80",      // a UTF-16 surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xFF",
    };
    for (const char* bytes : cases) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        EXPECT_EQ(CFStringCreateWithCString(nullptr, bytes, kCFStringEncodingUTF8), nullptr);
        auto url = Own(CFURLCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(bytes),
                                            CFIndex(std::char_traits<char>::length(bytes)), kCFStringEncodingUTF8,
                                            nullptr));
        EXPECT_EQ(url, nullptr);
    }
}

TEST(CFString, ASCIIOnlyTakesAndGivesSevenBitText) {
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "caf\u00e9", kCFStringEncodingASCII), nullptr);
    auto ascii = Own(CFStringCreateWithCString(nullptr, "cafe", kCFStringEncodingASCII));
    ASSERT_NE(ascii, nullptr);
    EXPECT_TRUE(CFEqual(ascii.get(), MakeString("cafe").get()));

    auto accented = MakeString("caf\u00e9");
    char buffer[16];
    EXPECT_FALSE(CFStringGetCString(accented.get(), buffer, sizeof buffer, kCFStringEncodingASCII));
    EXPECT_EQ(CFStringGetCStringPtr(accented.get(), kCFStringEncodingASCII), nullptr);
    EXPECT_FALSE(CFStringGetCString(accented.get(), buffer, sizeof buffer, kCFStringEncodingUTF16));
}

TEST(CFString, BytesMayEmbedNUL) {
    const UInt8 bytes[] = {'a', 0, 'b'};
    auto withNUL = Own(CFStringCreateWithBytes(nullptr, bytes, 3, kCFStringEncodingUTF8, false));
    auto cut = Own(CFStringCreateWithBytes(nullptr, bytes, 1, kCFStringEncodingUTF8, false));
    ASSERT_NE(withNUL, nullptr);
    EXPECT_EQ(CFStringGetLength(withNUL.get()), 3);
    EXPECT_FALSE(CFEqual(withNUL.get(), cut.get()));
    // A C string would stop at the NUL and silently drop the rest.
    EXPECT_EQ(CFStringGetCStringPtr(withNUL.get(), kCFStringEncodingUTF8), nullptr);
}

TEST(CFString, MaximumSizeForEncoding) {
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(0, kCFStringEncodingUTF8), 0);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(4, kCFStringEncodingUTF8), 12);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(4, kCFStringEncodingASCII), 4);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(-1, kCFStringEncodingUTF8), kCFNotFound);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(CFIndex(1) << 62, kCFStringEncodingUTF8), kCFNotFound);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(4, kCFStringEncodingInvalidId), kCFNotFound);
}

TEST(CFString, ConstantStringsHoldTheirLiteral) {
    const CFStringRef first = CFSTR("local.pelio.audio.iphone.output");
    EXPECT_TRUE(CFEqual(CFSTR("local.pelio.audio.iphone.output"), first));
    EXPECT_FALSE(CFEqual(CFSTR("local.pelio.audio.iphone"), first));
    EXPECT_TRUE(CFEqual(first, MakeString("local.pelio.audio.iphone.output").get()));
    EXPECT_EQ(CFStringGetLength(CFSTR("\u00fc")), 1);

    // Made from several threads at once, the constants are all the same text.
    std::vector<CFStringRef> seen(4);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = CFSTR("made from threads"); });
    for (auto& thread : threads) thread.join();
    for (CFStringRef string : seen) EXPECT_TRUE(CFEqual(string, CFSTR("made from threads")));
}

TEST(CFString, CopyIsAnEqualStringTheCallerOwns) {
    // Only the reference is owned: the copy of an immutable string may be the string itself.
    auto original = MakeString("a string that is copied");
    auto copy = Own(CFStringCreateCopy(nullptr, original.get()));
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(CFEqual(copy.get(), original.get()));
    original.reset();  // the copy's reference keeps the text alive (the sanitizers would see it gone)
    EXPECT_TRUE(CFEqual(copy.get(), CFSTR("a string that is copied")));
}

Owned<CFURLRef> MakeURL(std::string_view text) {
    return Own(CFURLCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text.data()), CFIndex(text.size()),
                                    kCFStringEncodingUTF8, nullptr));
}

TEST(CFURL, EscapesWhatIsNotURLTextAndKeepsWhatIs) {
    const struct {
        std::string_view text;
        const char* read;
    } cases[] = {
        {"file:///tmp/a b", "file:///tmp/a%20b"},
        {"caf\xC3\xA9", "caf%C3%A9"},  // each byte of a non-ASCII character
        {"%zz", "%25zz"},               // a '%' that starts no escape
        {"100%", "100%25"},
        {"<a>", "%3Ca%3E"},
        {"file:///Library/Audio/Pelio%20icon.icns", "file:///Library/Audio/Pelio%20icon.icns"},  // already escaped
        {"", ""},
        {"icon.icns", "icon.icns"},
        {"http://example.com/a/b?c=d&e=f#g", "http://example.com/a/b?c=d&e=f#g"},
        {"http://[::1]:47583/", "http://[::1]:47583/"},
    };
    for (const auto& [text, read] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(text)));
        auto url = MakeURL(text);
        ASSERT_NE(url, nullptr);
        EXPECT_EQ(ReadUTF8(CFURLGetString(url.get())), read);
    }
}

TEST(CFURL, TextWithANULMakesNoURL) {
    using namespace std::string_view_literals;
    for (std::string_view text : {"a\0b"sv, "\0"sv, "file:///tmp/a\0"sv}) {
        SCOPED_TRACE(testing::PrintToString(std::string(text)));
        EXPECT_EQ(MakeURL(text), nullptr);
    }
}

TEST(CFURL, KeepsItsTextAndBase) {
    const std::string text = "file:///Library/Audio/Pelio%20icon.icns";
    auto url = MakeURL(text);
    ASSERT_NE(url, nullptr);
    EXPECT_EQ(ReadUTF8(CFURLGetString(url.get())), text);
    EXPECT_EQ(CFURLGetBaseURL(url.get()), nullptr);

    auto relative = Own(CFURLCreateWithString(nullptr, CFSTR("icon.icns"), url.get()));
    ASSERT_NE(CFURLGetBaseURL(relative.get()), nullptr);
    EXPECT_TRUE(CFEqual(CFURLGetBaseURL(relative.get()), url.get()));
    EXPECT_TRUE(CFEqual(CFURLGetString(relative.get()), CFSTR("icon.icns")));

    auto same = Own(CFURLCreateWithString(nullptr, CFURLGetString(url.get()), nullptr));
    EXPECT_TRUE(CFEqual(same.get(), url.get()));
    EXPECT_FALSE(CFEqual(relative.get(), Own(CFURLCreateWithString(nullptr, CFSTR("icon.icns"), nullptr)).get()));

    // The relative URL holds its base: without the test's reference the base is still readable
    // (the sanitizers would see it freed).
    url.reset();
    EXPECT_TRUE(CFEqual(CFURLGetString(CFURLGetBaseURL(relative.get())), CFSTR("file:///Library/Audio/Pelio%20icon.icns")));
}

}  // namespace
