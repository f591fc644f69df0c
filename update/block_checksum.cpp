#include "update/block_checksum.h"

#include <algorithm>

#if defined(__i386__)
#include <cpuid.h>
#endif

namespace {

// The most bytes after which b, started below the modulus, still fits 32 bits: 255n(n+1)/2 + (n+1)(M-1) < 2^32.
constexpr std::size_t kAdlerRun = 5552;

// A weight (below 2^30) goes in as two halves of 15 bits, so a byte times a half stays below 2^23 and 256 of
// them add up in 32 bits: the inner loop is 32-bit arithmetic, which the processor does four or eight at a time
// (scalar 64-bit products on a 32-bit processor ran at a fifth of the speed). The 64-bit totals of a block of
// 2^20 bytes stay below 2^58.
constexpr std::size_t kChunk = 256;
constexpr std::uint32_t kHalfBits = 15;
constexpr std::uint32_t kHalfMask = (1u << kHalfBits) - 1;
constexpr std::uint32_t kLongestStrongBlock = 1u << 20;

std::vector<std::uint16_t> Halves(std::uint32_t length, std::uint32_t prime, std::uint32_t shift)
{
    std::vector<std::uint16_t> halves(length);
    std::uint64_t weight = 1;
    for (std::uint32_t i = length; i-- > 0;) {
        halves[i] = static_cast<std::uint16_t>(weight >> shift & kHalfMask);
        weight = weight * 256 % prime;
    }
    return halves;
}

inline __attribute__((always_inline)) std::uint64_t WeightedSums(const unsigned char* data, std::size_t size,
                                                                 const StrongWeights& w)
{
    std::uint64_t sumLow = 0;
    std::uint64_t sumHigh = 0;
    for (std::size_t chunk = 0; chunk < size; chunk += kChunk) {
        const std::size_t end = std::min(size, chunk + kChunk);
        std::uint32_t lowLo = 0;
        std::uint32_t lowHi = 0;
        std::uint32_t highLo = 0;
        std::uint32_t highHi = 0;
        for (std::size_t i = chunk; i < end; ++i) {
            const std::uint32_t x = data[i];
            lowLo += x * w.lowLo[i];
            lowHi += x * w.lowHi[i];
            highLo += x * w.highLo[i];
            highHi += x * w.highHi[i];
        }
        sumLow += (static_cast<std::uint64_t>(lowHi) << kHalfBits) + lowLo;
        sumHigh += (static_cast<std::uint64_t>(highHi) << kHalfBits) + highLo;
    }
    return (sumHigh % kStrongPrimeHigh) << 32 | (sumLow % kStrongPrimeLow);
}

std::uint64_t WeightedSumsPlain(const unsigned char* data, std::size_t size, const StrongWeights& w)
{
    return WeightedSums(data, size, w);
}

#if defined(__i386__)
// The 32-bit build runs on processors without SSE2 too, so the vector loop is compiled apart and chosen at run
// time; every 64-bit processor has SSE2.
__attribute__((target("sse2"))) std::uint64_t WeightedSumsSse2(const unsigned char* data, std::size_t size,
                                                                const StrongWeights& w)
{
    return WeightedSums(data, size, w);
}

bool HasSse2()
{
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (edx & bit_SSE2) != 0;
}
#endif

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
    : lowLo_(Halves(std::min(maxBlock, kLongestStrongBlock), kStrongPrimeLow, 0)),
      lowHi_(Halves(std::min(maxBlock, kLongestStrongBlock), kStrongPrimeLow, kHalfBits)),
      highLo_(Halves(std::min(maxBlock, kLongestStrongBlock), kStrongPrimeHigh, 0)),
      highHi_(Halves(std::min(maxBlock, kLongestStrongBlock), kStrongPrimeHigh, kHalfBits)),
      sums_(&WeightedSumsPlain)
{
#if defined(__i386__)
    if (HasSse2())
        sums_ = &WeightedSumsSse2;
#endif
}

std::uint64_t StrongBlockSum::Of(const unsigned char* data, std::size_t size) const
{
    size = std::min(size, lowLo_.size());
    const std::size_t skip = lowLo_.size() - size;
    return sums_(data, size,
                 StrongWeights{lowLo_.data() + skip, lowHi_.data() + skip, highLo_.data() + skip, highHi_.data() + skip});
}

bool StrongBlockSum::Plausible(std::uint64_t value)
{
    return (value & 0xFFFFFFFFu) < kStrongPrimeLow && (value >> 32) < kStrongPrimeHigh;
}
