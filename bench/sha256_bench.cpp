// What checking downloads by SHA-256 (through the system's CNG) costs beside the CRC-32 every download already
// gets, in one run: the same bytes in the 64 KiB pieces a download hands over, once in one large file and once
// spread over many small files (one digest each, as a signed update of many files makes them).
// Usage: sha256_bench.exe [TOTAL_MIB [FILES]]   (defaults: 256 MiB; 20000 files)

#include "bench/bench_support.h"
#include "update/cng.h"
#include "update/crc32_compute.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr std::size_t kPieceBytes = 65536;  // what one read of a download hands over
constexpr int kRounds = 5;

struct Totals {
    double crcSeconds = 1e9;
    double bothSeconds = 1e9;
    unsigned sink = 0;  // keeps the results alive
};

// The CRC alone, then CRC and SHA-256 together, over `files` equal files; the best of kRounds each.
Totals Measure(const std::vector<unsigned char>& data, std::size_t files)
{
    const std::size_t fileBytes = data.size() / files;
    Sha256Hasher hasher;
    Totals totals;
    for (int round = 0; round < kRounds; ++round) {
        for (const bool withSha : {false, true}) {
            const double start = bench::Seconds();
            for (std::size_t f = 0; f < files; ++f) {
                std::uint32_t crc = 0;
                for (std::size_t at = 0; at < fileBytes; at += kPieceBytes) {
                    const unsigned char* piece = data.data() + f * fileBytes + at;
                    const std::size_t size = std::min(kPieceBytes, fileBytes - at);
                    crc = Crc32(crc, piece, size);
                    if (withSha)
                        hasher.Add(piece, size);
                }
                totals.sink += crc + (withSha ? (*hasher.Finish())[0] : 0u);
            }
            double& best = withSha ? totals.bothSeconds : totals.crcSeconds;
            best = std::min(best, bench::Seconds() - start);
        }
    }
    return totals;
}

void Report(const char* what, const Totals& t, double mib)
{
    std::printf("%-28s CRC-32 %7.0f MiB/s   CRC-32 + SHA-256 %7.0f MiB/s   ratio %.2fx\n", what, mib / t.crcSeconds,
                mib / t.bothSeconds, t.bothSeconds / t.crcSeconds);
}

}

int wmain(int argc, wchar_t** argv)
{
    const std::size_t mib = argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : 256;
    const std::size_t files = argc > 2 ? std::wcstoul(argv[2], nullptr, 10) : 20000;
    std::vector<unsigned char> data(mib << 20);
    std::uint32_t state = 2463534242u;
    for (unsigned char& value : data) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        value = static_cast<unsigned char>(state);
    }
    const double total = static_cast<double>(mib);
    Report("one file", Measure(data, 1), total);
    char label[64];
    std::snprintf(label, sizeof(label), "%zu files", files);
    const Totals many = Measure(data, files);
    Report(label, many, total);
    return many.sink == 0xFFFFFFFFu ? 1 : 0;
}
