#include "update/block_checksum.h"

#include <algorithm>

namespace {

// The most bytes after which b, started below the modulus, still fits 32 bits: 255n(n+1)/2 + (n+1)(M-1) < 2^32.
constexpr std::size_t kAdlerRun = 5552;

// The products of a byte and a weight stay below 2^38, so 2^26 of them add up without overflow: far more than
// the longest block.
constexpr std::uint32_t kLongestStrongBlock = 1u << 26;

std::vector<std::uint32_t> Weights(std::uint32_t length, std::uint32_t prime)
{
    std::vector<std::uint32_t> weights(length);
    std::uint64_t weight = 1;
    for (std::uint32_t i = length; i-- > 0;) {
        weights[i] = static_cast<std::uint32_t>(weight);
        weight = weight * 256 % prime;
    }
    return weights;
}

}

std::uint32_t Adler32(const unsigned char* data, std::size_t size)
{
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    while (size > 0) {
        const std::size_t run = std::min(size, kAdlerRun);
        for (std::size_t i = 0; i < run; ++i) {
            a += data[i];
            b += a;
        }
        a %= kAdlerModulus;
        b %= kAdlerModulus;
        data += run;
        size -= run;
    }
    return b << 16 | a;
}

RollingAdler32::RollingAdler32(std::uint32_t window) : window_(window)
{
    const std::uint32_t length = window % kAdlerModulus;
    for (std::uint32_t x = 0; x < 256; ++x)
        drop_[x] = static_cast<std::int32_t>((length * x + 1) % kAdlerModulus);
}

StrongBlockSum::StrongBlockSum(std::uint32_t maxBlock)
    : low_(Weights(std::min(maxBlock, kLongestStrongBlock), kStrongPrimeLow)),
      high_(Weights(std::min(maxBlock, kLongestStrongBlock), kStrongPrimeHigh))
{
}

std::uint64_t StrongBlockSum::Of(const unsigned char* data, std::size_t size) const
{
    size = std::min(size, low_.size());
    const std::uint32_t* low = low_.data() + (low_.size() - size);
    const std::uint32_t* high = high_.data() + (high_.size() - size);
    std::uint64_t sumLow = 0;
    std::uint64_t sumHigh = 0;
    for (std::size_t i = 0; i < size; ++i) {
        sumLow += static_cast<std::uint64_t>(data[i]) * low[i];
        sumHigh += static_cast<std::uint64_t>(data[i]) * high[i];
    }
    return (sumHigh % kStrongPrimeHigh) << 32 | (sumLow % kStrongPrimeLow);
}

bool StrongBlockSum::Plausible(std::uint64_t value)
{
    return (value & 0xFFFFFFFFu) < kStrongPrimeLow && (value >> 32) < kStrongPrimeHigh;
}
