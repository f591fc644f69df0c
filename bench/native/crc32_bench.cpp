// CRC-32 throughput over one 256 MiB buffer: ours (as the launcher picks it at run time), each of its paths, a
// plain slicing-by-8 for reference, and zlib's crc32, all in one run. Prints GB/s and the ratios.

#include "update/crc32_compute.h"

#include <zlib.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

namespace {

constexpr std::size_t kBufferSize = 256u << 20;
constexpr int kRepeats = 3;

// The classic slicing-by-8 (eight tables, eight bytes per step), as the yardstick for the portable path.
class SlicingBy8 {
public:
    SlicingBy8()
    {
        for (std::uint32_t b = 0; b < 256; ++b) {
            std::uint32_t r = b;
            for (int bit = 0; bit < 8; ++bit)
                r = (r & 1u) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
            t_[0][b] = r;
        }
        for (std::size_t k = 1; k < 8; ++k) {
            for (std::size_t b = 0; b < 256; ++b)
                t_[k][b] = (t_[k - 1][b] >> 8) ^ t_[0][t_[k - 1][b] & 0xFFu];
        }
    }

    std::uint32_t operator()(std::uint32_t crc, const unsigned char* p, std::size_t size) const
    {
        std::uint32_t reg = ~crc;
        while (size >= 8) {
            std::uint32_t a = 0;
            std::uint32_t b = 0;
            std::memcpy(&a, p, 4);
            std::memcpy(&b, p + 4, 4);
            a ^= reg;
            reg = t_[7][a & 0xFF] ^ t_[6][(a >> 8) & 0xFF] ^ t_[5][(a >> 16) & 0xFF] ^ t_[4][a >> 24] ^
                  t_[3][b & 0xFF] ^ t_[2][(b >> 8) & 0xFF] ^ t_[1][(b >> 16) & 0xFF] ^ t_[0][b >> 24];
            p += 8;
            size -= 8;
        }
        while (size-- > 0)
            reg = (reg >> 8) ^ t_[0][(reg ^ *p++) & 0xFFu];
        return ~reg;
    }

private:
    std::array<std::array<std::uint32_t, 256>, 8> t_{};
};

struct Measurement {
    double seconds = 0;
    std::uint32_t crc = 0;
};

Measurement Measure(const std::function<std::uint32_t()>& run)
{
    Measurement best{1e9, 0};
    for (int i = 0; i < kRepeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const std::uint32_t crc = run();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (seconds < best.seconds)
            best = {seconds, crc};
    }
    return best;
}

double Rate(const Measurement& m)
{
    return static_cast<double>(kBufferSize) / m.seconds / 1e9;
}

}

int main()
{
    std::vector<unsigned char> buffer(kBufferSize);
    std::mt19937_64 random(42);
    for (std::size_t i = 0; i < buffer.size(); i += 8) {
        const std::uint64_t word = random();
        std::memcpy(buffer.data() + i, &word, 8);
    }
    const unsigned char* data = buffer.data();
    const SlicingBy8 slicingBy8;

    const Measurement zlib = Measure([&] { return static_cast<std::uint32_t>(crc32(0, data, kBufferSize)); });
    const Measurement ours = Measure([&] { return Crc32(0, data, kBufferSize); });
    const Measurement sliced = Measure([&] { return slicingBy8(0, data, kBufferSize); });
    struct PathResult {
        const char* name;
        Crc32Path path;
        Measurement m;
    };
    std::vector<PathResult> paths = {{"portable (slicing-by-16)", Crc32Path::Portable, {}},
                                     {"carry-less multiply, 128-bit", Crc32Path::Clmul, {}},
                                     {"carry-less multiply, 512-bit", Crc32Path::Clmul512, {}}};
    for (PathResult& result : paths) {
        if (Crc32PathAvailable(result.path))
            result.m = Measure([&] { return Crc32Using(result.path, 0, data, kBufferSize); });
    }
    const Measurement& portable = paths[0].m;

    std::printf("CRC-32 over %zu MiB, best of %d runs each\n", kBufferSize >> 20, kRepeats);
    std::printf("  zlib crc32 (%s)                %7.3f s  %6.2f GB/s  %08X\n", zlibVersion(), zlib.seconds,
                Rate(zlib), zlib.crc);
    std::printf("  ours as the launcher runs it       %7.3f s  %6.2f GB/s  %08X  (path %d)\n", ours.seconds,
                Rate(ours), ours.crc, static_cast<int>(Crc32BestPath()));
    bool agree = zlib.crc == ours.crc && sliced.crc == zlib.crc;
    for (const PathResult& result : paths) {
        if (!Crc32PathAvailable(result.path)) {
            std::printf("  ours, %-28s (not on this CPU)\n", result.name);
            continue;
        }
        std::printf("  ours, %-28s %7.3f s  %6.2f GB/s  %08X\n", result.name, result.m.seconds, Rate(result.m),
                    result.m.crc);
        agree = agree && result.m.crc == zlib.crc;
    }
    std::printf("  reference slicing-by-8             %7.3f s  %6.2f GB/s  %08X\n", sliced.seconds, Rate(sliced),
                sliced.crc);
    std::printf("ratio ours / zlib:             %.2fx\n", zlib.seconds / ours.seconds);
    std::printf("ratio portable / slicing-by-8: %.2fx\n", sliced.seconds / portable.seconds);

    if (!agree)
        std::printf("MISMATCH between the implementations\n");
    return agree ? EXIT_SUCCESS : EXIT_FAILURE;
}
