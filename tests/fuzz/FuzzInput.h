#pragma once

// The fuzz targets' view of their input: a stream of bytes read from the front, so that a seed
// can be written by hand (or by make_seeds.py) in the order the target reads it. Reading past the
// end yields zeros and never fails, so every input is a valid program: a truncated one simply
// ends with zero arguments.
//
// Small choices come as one byte that picks from a list of the values that matter, with the
// highest byte values reserved for an arbitrary 32-bit value read next; that keeps mutations of
// a seed meaningful while still reaching every value.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace pelio::fuzz {

class FuzzInput
{
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : mNext(data), mRemaining(size) {}

    bool IsEmpty() const { return mRemaining == 0; }
    std::size_t GetRemaining() const { return mRemaining; }

    std::uint8_t U8()
    {
        if (mRemaining == 0) {
            return 0;
        }
        --mRemaining;
        return *mNext++;
    }

    // Little-endian, like the seeds.
    std::uint16_t U16() { return static_cast<std::uint16_t>(U8() | (U8() << 8)); }
    std::uint32_t U32() { return std::uint32_t{U16()} | (std::uint32_t{U16()} << 16); }
    std::uint64_t U64() { return std::uint64_t{U32()} | (std::uint64_t{U32()} << 32); }
    bool Flag() { return (U8() & 1) != 0; }

    // Copies up to `destination.size()` bytes; the rest of `destination` becomes zero.
    void Fill(std::span<std::uint8_t> destination)
    {
        const std::size_t count = std::min(destination.size(), mRemaining);
        if (count > 0) {
            std::memcpy(destination.data(), mNext, count);
        }
        std::fill(destination.begin() + static_cast<std::ptrdiff_t>(count), destination.end(), std::uint8_t{0});
        mNext += count;
        mRemaining -= count;
    }

    // One of `choices` by the next byte; a byte at or above kArbitrary reads a 32-bit value instead.
    template <class T, std::size_t Count>
    T Pick(const T (&choices)[Count])
    {
        static_assert(Count > 0 && Count < kArbitrary);
        const std::uint8_t choice = U8();
        if (choice >= kArbitrary) {
            return static_cast<T>(U32());
        }
        return choices[choice % Count];
    }

    static constexpr std::uint8_t kArbitrary = 0xF0;

private:
    const std::uint8_t* mNext;
    std::size_t mRemaining;
};

} // namespace pelio::fuzz
