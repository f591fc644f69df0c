#include "update/crc32_compute.h"

#include <array>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define VORN_CRC32_CLMUL 1
#endif

namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;
constexpr std::size_t kSlices = 16;

// tables[0] is the classic byte table; tables[k][b] is the register after byte b followed by k zero bytes, which
// lets sixteen bytes be folded with sixteen independent lookups instead of a chain of sixteen.
using SliceTables = std::array<std::array<std::uint32_t, 256>, kSlices>;

constexpr SliceTables MakeSliceTables()
{
    SliceTables tables{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t r = b;
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 1u) ? (r >> 1) ^ kPolynomial : r >> 1;
        tables[0][b] = r;
    }
    for (std::size_t k = 1; k < kSlices; ++k) {
        for (std::size_t b = 0; b < 256; ++b) {
            const std::uint32_t previous = tables[k - 1][b];
            tables[k][b] = (previous >> 8) ^ tables[0][previous & 0xFFu];
        }
    }
    return tables;
}

constexpr SliceTables kTables = MakeSliceTables();
static_assert(kTables[0][1] == 0x77073096u && kTables[0][255] == 0x2D02EF8Du);

inline std::uint32_t LoadLittle32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Works on the register itself (not complemented), so both paths can hand tails to it.
std::uint32_t UpdateRegisterPortable(std::uint32_t reg, const unsigned char* p, std::size_t size)
{
    const auto& t = kTables;
    while (size >= kSlices) {
        const std::uint32_t a = LoadLittle32(p) ^ reg;
        const std::uint32_t b = LoadLittle32(p + 4);
        const std::uint32_t c = LoadLittle32(p + 8);
        const std::uint32_t d = LoadLittle32(p + 12);
        reg = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
              t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
              t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
              t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
        p += kSlices;
        size -= kSlices;
    }
    while (size-- > 0)
        reg = (reg >> 8) ^ t[0][(reg ^ *p++) & 0xFFu];
    return reg;
}

#ifdef VORN_CRC32_CLMUL

// Carries a 128-bit lane forward by 128 bits (x^128 and x^192 mod P) onto the next block.
__attribute__((target("pclmul,sse4.1"))) inline __m128i FoldInto(__m128i acc, __m128i next, __m128i k3k4)
{
    const __m128i low = _mm_clmulepi64_si128(acc, k3k4, 0x00);
    const __m128i high = _mm_clmulepi64_si128(acc, k3k4, 0x11);
    return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

// Folding with carry-less multiplication: four 128-bit lanes are carried forward by 512 bits per step
// (x^512 and x^576 mod P), then merged, reduced to 64 bits and Barrett-reduced to the 32-bit register. The
// constants are those powers of x modulo the polynomial in the reflected bit order, and the Barrett pair.
// Compiled for PCLMULQDQ and SSE4.1 here only, so the rest of the program stays generic.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t FoldRegisterClmul(std::uint32_t reg,
                                                                           const unsigned char* p,
                                                                           std::size_t size)
{
    const __m128i k1k2 = _mm_set_epi64x(0x01C6E41596, 0x0154442BD4);
    const __m128i k3k4 = _mm_set_epi64x(0x00CCAA009E, 0x01751997D0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163CD6124);
    const __m128i barrett = _mm_set_epi64x(0x01F7011641, 0x01DB710641);
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

    __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(reg)));
    p += 64;
    size -= 64;

    while (size >= 64) {
        const __m128i l1 = _mm_clmulepi64_si128(x1, k1k2, 0x00);
        const __m128i l2 = _mm_clmulepi64_si128(x2, k1k2, 0x00);
        const __m128i l3 = _mm_clmulepi64_si128(x3, k1k2, 0x00);
        const __m128i l4 = _mm_clmulepi64_si128(x4, k1k2, 0x00);
        x1 = _mm_clmulepi64_si128(x1, k1k2, 0x11);
        x2 = _mm_clmulepi64_si128(x2, k1k2, 0x11);
        x3 = _mm_clmulepi64_si128(x3, k1k2, 0x11);
        x4 = _mm_clmulepi64_si128(x4, k1k2, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, l1), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        x2 = _mm_xor_si128(_mm_xor_si128(x2, l2), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
        x3 = _mm_xor_si128(_mm_xor_si128(x3, l3), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)));
        x4 = _mm_xor_si128(_mm_xor_si128(x4, l4), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)));
        p += 64;
        size -= 64;
    }

    x1 = FoldInto(x1, x2, k3k4);
    x1 = FoldInto(x1, x3, k3k4);
    x1 = FoldInto(x1, x4, k3k4);
    while (size >= 16) {
        x1 = FoldInto(x1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), k3k4);
        p += 16;
        size -= 16;
    }

    // 128 -> 96 -> 64 bits.
    x2 = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00);
    x1 = _mm_xor_si128(x1, x2);

    // Barrett reduction to the 32-bit register.
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), barrett, 0x10);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, low32), barrett, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

bool DetectClmul()
{
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0)
        return false;
    return (ecx & bit_PCLMUL) != 0 && (ecx & bit_SSE4_1) != 0;
}

#endif

}

std::uint32_t Crc32Portable(std::uint32_t crc, const void* data, std::size_t size)
{
    return ~UpdateRegisterPortable(~crc, static_cast<const unsigned char*>(data), size);
}

bool Crc32AcceleratedAvailable()
{
#ifdef VORN_CRC32_CLMUL
    static const bool available = DetectClmul();
    return available;
#else
    return false;
#endif
}

std::uint32_t Crc32Accelerated(std::uint32_t crc, const void* data, std::size_t size)
{
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint32_t reg = ~crc;
#ifdef VORN_CRC32_CLMUL
    // The fold needs at least 64 bytes and works in 16-byte blocks; the table takes the rest.
    if (size >= 64) {
        const std::size_t folded = size & ~static_cast<std::size_t>(15);
        reg = FoldRegisterClmul(reg, p, folded);
        p += folded;
        size -= folded;
    }
#endif
    return ~UpdateRegisterPortable(reg, p, size);
}

std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t size)
{
    return Crc32AcceleratedAvailable() ? Crc32Accelerated(crc, data, size) : Crc32Portable(crc, data, size);
}
