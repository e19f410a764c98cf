#include "hal/PrintfFormat.h"

#include <gtest/gtest.h>

#include <MacTypes.h>

#include <cstddef>
#include <cstdint>

namespace {

using hal::IsValidPrintfFormat;

enum Plain : unsigned { kPlainValue };
enum class Scoped : UInt32 { Value };

// The checks run in the compiler: a wrong answer fails the build, not the run.
TEST(PrintfFormatTest, AcceptsFormatsThatMatchTheirArguments) {
    static_assert(IsValidPrintfFormat<>("value not changed"));
    static_assert(IsValidPrintfFormat<>("100%% done"));
    static_assert(IsValidPrintfFormat<UInt32>("objectID=%u object not registered"));
    static_assert(IsValidPrintfFormat<UInt32, UInt32>("increasing desired maximum from %u to %u"));
    static_assert(IsValidPrintfFormat<SInt32, bool, char, UInt16>("%d %d %c %hu"));
    static_assert(IsValidPrintfFormat<const char*>("returning Latency=%s"));
    static_assert(IsValidPrintfFormat<char*>("%-10s|"));
    static_assert(IsValidPrintfFormat<Float64, float>("%.3f %g"));
    static_assert(IsValidPrintfFormat<long double>("%Lg"));
    static_assert(IsValidPrintfFormat<UInt64, SInt64>("%llu %lld"));
    static_assert(IsValidPrintfFormat<unsigned long, std::size_t>("%lu %zu"));
    static_assert(IsValidPrintfFormat<std::intmax_t, std::ptrdiff_t>("%jd %td"));
    static_assert(IsValidPrintfFormat<const void*, const char*>("%p %p"));
    static_assert(IsValidPrintfFormat<int, int, Float64>("%*.*f"));
    static_assert(IsValidPrintfFormat<UInt32>("%08x"));
    static_assert(IsValidPrintfFormat<Plain>("%u"));
}

TEST(PrintfFormatTest, RefusesFormatsThatDoNotMatch) {
    static_assert(!IsValidPrintfFormat<UInt32>("no conversion"), "an argument too many");
    static_assert(!IsValidPrintfFormat<>("objectID=%u"), "an argument too few");
    static_assert(!IsValidPrintfFormat<UInt32>("%lu"), "a 32-bit value for a long");
    static_assert(!IsValidPrintfFormat<UInt64>("%lu"), "unsigned long long is not unsigned long");
    static_assert(!IsValidPrintfFormat<UInt64>("%u"), "a 64-bit value for an int");
    static_assert(!IsValidPrintfFormat<Float64>("%d"), "a double for an integer");
    static_assert(!IsValidPrintfFormat<UInt32>("%f"), "an integer for a double");
    static_assert(!IsValidPrintfFormat<UInt32>("%s"), "an integer for text");
    static_assert(!IsValidPrintfFormat<const UInt8*>("%s"), "bytes are not text");
    static_assert(!IsValidPrintfFormat<const wchar_t*>("%ls"), "wide text");
    static_assert(!IsValidPrintfFormat<Scoped>("%u"), "scoped enumerations are not promoted");
    static_assert(!IsValidPrintfFormat<int*>("%n"), "writes through the argument list");
    static_assert(!IsValidPrintfFormat<UInt32>("%y"), "an unknown conversion");
    static_assert(!IsValidPrintfFormat<>("trailing %"), "an unfinished conversion");
    static_assert(!IsValidPrintfFormat<Float64>("%*f"), "the width needs its own int");
}

TEST(PrintfFormatTest, KeepsTheLiteral) {
    constexpr hal::PrintfFormat<UInt32> format("objectID=%u");
    EXPECT_STREQ(format.GetText(), "objectID=%u");
}

}  // namespace
