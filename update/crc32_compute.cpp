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

// Works on the register itself (not complemented), so the folding paths can hand their tails to it.
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

// Folding with carry-less multiplication: a 128-bit lane is carried forward by D bits by multiplying its two
// halves with x^(D+32) and x^(D-32) mod P (bit-reflected, as the reflected CRC needs) and adding the next block.
// The constants below are those powers for D = 512 (four lanes), 128 (one lane) and, for the 512-bit registers,
// 2048 (four registers), plus the last reduction steps and the Barrett pair. Each function is compiled for its
// instruction set only, so the rest of the program stays generic and runs on any x86 CPU.
constexpr long long kFold512Low = 0x0154442BD4, kFold512High = 0x01C6E41596;
constexpr long long kFold128Low = 0x01751997D0, kFold128High = 0x00CCAA009E;
constexpr long long kFold2048Low = 0x011542778A, kFold2048High = 0x01322D1430;
constexpr long long kFold64 = 0x0163CD6124;
constexpr long long kBarrettLow = 0x01DB710641, kBarrettHigh = 0x01F7011641;

__attribute__((target("pclmul,sse4.1"))) inline __m128i FoldInto(__m128i acc, __m128i next, __m128i k)
{
    const __m128i low = _mm_clmulepi64_si128(acc, k, 0x00);
    const __m128i high = _mm_clmulepi64_si128(acc, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

// Four lanes holding the folded state of all bytes before p; folds the remaining whole 16-byte blocks in and
// reduces to the 32-bit register.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t FinishClmul(__m128i x1, __m128i x2, __m128i x3, __m128i x4,
                                                                     const unsigned char* p, std::size_t size)
{
    const __m128i k512 = _mm_set_epi64x(kFold512High, kFold512Low);
    while (size >= 64) {
        x1 = FoldInto(x1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), k512);
        x2 = FoldInto(x2, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), k512);
        x3 = FoldInto(x3, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), k512);
        x4 = FoldInto(x4, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), k512);
        p += 64;
        size -= 64;
    }

    const __m128i k128 = _mm_set_epi64x(kFold128High, kFold128Low);
    x1 = FoldInto(x1, x2, k128);
    x1 = FoldInto(x1, x3, k128);
    x1 = FoldInto(x1, x4, k128);
    while (size >= 16) {
        x1 = FoldInto(x1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), k128);
        p += 16;
        size -= 16;
    }

    // 128 -> 96 -> 64 bits.
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
    x2 = _mm_clmulepi64_si128(x1, k128, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), _mm_set_epi64x(0, kFold64), 0x00);
    x1 = _mm_xor_si128(x1, x2);

    // Barrett reduction to the 32-bit register.
    const __m128i barrett = _mm_set_epi64x(kBarrettHigh, kBarrettLow);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), barrett, 0x10);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, low32), barrett, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

// Needs at least 64 bytes and a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t FoldRegisterClmul(std::uint32_t reg, const unsigned char* p,
                                                                           std::size_t size)
{
    const __m128i x1 = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                                     _mm_cvtsi32_si128(static_cast<int>(reg)));
    return FinishClmul(x1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), p + 64, size - 64);
}

#define VORN_CRC32_TARGET_512 "avx512f,vpclmulqdq,pclmul,sse4.1"

__attribute__((target(VORN_CRC32_TARGET_512))) inline __m512i FoldInto512(__m512i acc, __m512i next, __m512i k)
{
    const __m512i low = _mm512_clmulepi64_epi128(acc, k, 0x00);
    const __m512i high = _mm512_clmulepi64_epi128(acc, k, 0x11);
    return _mm512_ternarylogic_epi64(low, high, next, 0x96);  // low ^ high ^ next
}

// Needs at least 256 bytes and a multiple of 16: four 512-bit registers (sixteen lanes) fold 256 bytes per step,
// then are merged into one register, whose four lanes the 128-bit code takes over.
__attribute__((target(VORN_CRC32_TARGET_512))) std::uint32_t FoldRegisterClmul512(std::uint32_t reg,
                                                                                  const unsigned char* p,
                                                                                  std::size_t size)
{
    __m512i z1 = _mm512_loadu_si512(p);
    __m512i z2 = _mm512_loadu_si512(p + 64);
    __m512i z3 = _mm512_loadu_si512(p + 128);
    __m512i z4 = _mm512_loadu_si512(p + 192);
    z1 = _mm512_xor_si512(z1, _mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<int>(reg)));
    p += 256;
    size -= 256;

    const __m512i k2048 = _mm512_set_epi64(kFold2048High, kFold2048Low, kFold2048High, kFold2048Low, kFold2048High,
                                           kFold2048Low, kFold2048High, kFold2048Low);
    while (size >= 256) {
        z1 = FoldInto512(z1, _mm512_loadu_si512(p), k2048);
        z2 = FoldInto512(z2, _mm512_loadu_si512(p + 64), k2048);
        z3 = FoldInto512(z3, _mm512_loadu_si512(p + 128), k2048);
        z4 = FoldInto512(z4, _mm512_loadu_si512(p + 192), k2048);
        p += 256;
        size -= 256;
    }

    const __m512i k512 = _mm512_set_epi64(kFold512High, kFold512Low, kFold512High, kFold512Low, kFold512High,
                                          kFold512Low, kFold512High, kFold512Low);
    z1 = FoldInto512(z1, z2, k512);
    z1 = FoldInto512(z1, z3, k512);
    z1 = FoldInto512(z1, z4, k512);
    alignas(64) __m128i lanes[4];
    _mm512_store_si512(lanes, z1);
    return FinishClmul(lanes[0], lanes[1], lanes[2], lanes[3], p, size);
}

struct CpuFeatures {
    bool clmul = false;
    bool clmul512 = false;
};

CpuFeatures DetectFeatures()
{
    CpuFeatures features;
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0)
        return features;
    features.clmul = (ecx & bit_PCLMUL) != 0 && (ecx & bit_SSE4_1) != 0;
    if (!features.clmul || (ecx & bit_OSXSAVE) == 0)
        return features;
    // The 512-bit registers are usable only when the operating system saves them on a task switch (XCR0 bits for
    // the SSE, AVX, mask and both upper ZMM states).
    unsigned int xcr0 = 0, xcr0High = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    if ((xcr0 & 0xE6u) != 0xE6u)
        return features;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0)
        return features;
    features.clmul512 = (ebx & bit_AVX512F) != 0 && (ecx & bit_VPCLMULQDQ) != 0;
    return features;
}

const CpuFeatures& Features()
{
    static const CpuFeatures features = DetectFeatures();
    return features;
}

#endif

}

bool Crc32PathAvailable(Crc32Path path)
{
    switch (path) {
    case Crc32Path::Portable:
        return true;
#ifdef VORN_CRC32_CLMUL
    case Crc32Path::Clmul:
        return Features().clmul;
    case Crc32Path::Clmul512:
        return Features().clmul512;
#else
    case Crc32Path::Clmul:
    case Crc32Path::Clmul512:
        return false;
#endif
    }
    return false;
}

Crc32Path Crc32BestPath()
{
    static const Crc32Path best = Crc32PathAvailable(Crc32Path::Clmul512) ? Crc32Path::Clmul512
                                  : Crc32PathAvailable(Crc32Path::Clmul)  ? Crc32Path::Clmul
                                                                          : Crc32Path::Portable;
    return best;
}

std::uint32_t Crc32Using([[maybe_unused]] Crc32Path path, std::uint32_t crc, const void* data, std::size_t size)
{
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint32_t reg = ~crc;
#ifdef VORN_CRC32_CLMUL
    // The folds work in 16-byte blocks and need a few of them to start; the table takes the rest.
    const std::size_t folded = size & ~static_cast<std::size_t>(15);
    if (path == Crc32Path::Clmul512 && folded >= 256) {
        reg = FoldRegisterClmul512(reg, p, folded);
        p += folded;
        size -= folded;
    } else if (path != Crc32Path::Portable && folded >= 64) {
        reg = FoldRegisterClmul(reg, p, folded);
        p += folded;
        size -= folded;
    }
#endif
    return ~UpdateRegisterPortable(reg, p, size);
}

std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t size)
{
    return Crc32Using(Crc32BestPath(), crc, data, size);
}

namespace {

// Polynomials over GF(2) modulo the CRC's, in its reflected order: bit 31 is x^0, bit 0 is x^31.
constexpr std::uint32_t MultiplyModPolynomial(std::uint32_t a, std::uint32_t b)
{
    std::uint32_t product = 0;
    for (std::uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
        if (a & bit)
            product ^= b;
        b = (b & 1u) ? (b >> 1) ^ kPolynomial : b >> 1;
    }
    return product;
}

// x^(2^k) for every k a byte count of 64 bits can need: a length of n bytes shifts by x^(8n).
constexpr std::size_t kPowers = 64 + 3;

constexpr std::array<std::uint32_t, kPowers> MakePowersOfX()
{
    std::array<std::uint32_t, kPowers> powers{};
    powers[0] = 1u << 30;
    for (std::size_t k = 1; k < kPowers; ++k)
        powers[k] = MultiplyModPolynomial(powers[k - 1], powers[k - 1]);
    return powers;
}

constexpr std::array<std::uint32_t, kPowers> kPowersOfX = MakePowersOfX();

}

std::uint32_t Crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondSize)
{
    // The first checksum moves past the second block as its register would over that many zero bytes; the
    // conditioning of both ends cancels out, so the two values only need to be added.
    std::uint32_t shift = 1u << 31;
    for (std::size_t k = 3; secondSize != 0; secondSize >>= 1, ++k) {
        if (secondSize & 1u)
            shift = MultiplyModPolynomial(kPowersOfX[k], shift);
    }
    return MultiplyModPolynomial(shift, first) ^ second;
}
