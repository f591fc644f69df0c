#pragma once

// The two sums a block index keeps for every block of a file. Plain C++ with no system headers, so the matcher
// that uses them builds natively for its benchmark too.
//
// The weak sum is Adler-32 exactly as zlib computes it: it moves along a file one byte at a time for a few
// additions, so an old copy can be searched at every offset. The strong sum is the block read as one big-endian
// number, taken modulo two primes just below 2^30: 60 bits that decide whether a block whose weak sum matched is
// really the same block. Neither is a linear function over GF(2) the way CRC-32 is, so a block accepted by
// mistake would still be caught by the CRC-32 of the whole file (two blocks of equal length and equal CRC-32
// would give a whole file of the same CRC-32: a sum built on CRC-32 could not be checked by it).

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr std::uint32_t kAdlerModulus = 65521;
// 256 has an order above 2^28 modulo each of them, so no two byte positions of a block up to that length weigh
// alike: moving or swapping bytes always changes the sum. Below 2^30 each fits one digit of Python's integers,
// which keeps the publisher's tool fast.
inline constexpr std::uint32_t kStrongPrimeLow = 1073741789;   // 2^30 - 35
inline constexpr std::uint32_t kStrongPrimeHigh = 1073741783;  // 2^30 - 41

// Adler-32 of the bytes, as zlib's adler32(1, data, size) gives it: (b << 16) | a.
std::uint32_t Adler32(const unsigned char* data, std::size_t size);

// Adler-32 of a window of fixed length that moves over a stream one byte at a time.
class RollingAdler32 {
public:
    explicit RollingAdler32(std::uint32_t window);

    // Starts over at the window's bytes.
    void Start(const unsigned char* data)
    {
        const std::uint32_t sum = Adler32(data, window_);
        a_ = static_cast<std::int32_t>(sum & 0xFFFFu);
        b_ = static_cast<std::int32_t>(sum >> 16);
    }

    // Moves the window by one byte: `out` leaves it at the front, `in` joins it at the back.
    void Roll(unsigned char out, unsigned char in)
    {
        // a and b stay in [0, modulus); one step takes each at most one modulus (and 255) out of that range,
        // so adding the modulus when below 0 and taking it off when at or above it brings it back. Without
        // branches: on an old copy that holds nothing they would be guessed wrong at every other byte. The
        // table holds window * out + 1 modulo the modulus.
        a_ = Reduce(a_ + in - out);
        b_ = Reduce(b_ + a_ - drop_[out]);
    }

    std::uint32_t Value() const { return static_cast<std::uint32_t>(b_) << 16 | static_cast<std::uint32_t>(a_); }

private:
    static std::int32_t Reduce(std::int32_t value)
    {
        constexpr std::int32_t modulus = kAdlerModulus;
        value += modulus & (value >> 31);
        value -= modulus;
        return value + (modulus & (value >> 31));
    }

    std::uint32_t window_;
    std::int32_t a_ = 1;
    std::int32_t b_ = 0;
    std::array<std::int32_t, 256> drop_{};
};

// Where StrongBlockSum's weights for one block begin (see the .cpp).
struct StrongWeights {
    const std::uint16_t* lowLo;
    const std::uint16_t* lowHi;
    const std::uint16_t* highLo;
    const std::uint16_t* highHi;
};

// The strong sum of blocks of up to a given length.
class StrongBlockSum {
public:
    explicit StrongBlockSum(std::uint32_t maxBlock);

    // Of `size` bytes, at most the length given at construction: the primes' residues, the first in the low half.
    std::uint64_t Of(const unsigned char* data, std::size_t size) const;

    // Whether a value can be a strong sum at all (each half below its prime).
    static bool Plausible(std::uint64_t value);

private:
    // The weight of each position, 256^(maxBlock - 1 - i) modulo each prime, in halves of 15 bits (see the
    // .cpp). A shorter block uses the tails of the tables, so its last byte always weighs 1.
    std::vector<std::uint16_t> lowLo_;
    std::vector<std::uint16_t> lowHi_;
    std::vector<std::uint16_t> highLo_;
    std::vector<std::uint16_t> highHi_;
    // The loop for this processor.
    std::uint64_t (*sums_)(const unsigned char* data, std::size_t size, const StrongWeights& weights);
};
