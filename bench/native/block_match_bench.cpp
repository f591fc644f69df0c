// What block reuse fetches and how fast the matcher scans, for the block sizes worth considering, in one run:
// a file of random bytes (512 MiB by default) and new versions of it with (a) 16 changed regions of 64 KiB
// scattered through it, (b) 10 KiB inserted near its start, (c) the old copy truncated to half, (e) 1000 changed
// runs of 100 bytes (a patch of many small records), an unrelated old copy (nothing to find: the matcher rolls
// over every offset) and (z) an old copy of zeros that the new version writes 1 MiB into. Per case: the bytes to
// fetch (the index and the missing ranges), their ratio to the changed bytes, the number of ranges and the scan
// speed. Then the weak sum's false matches per offset, on the random file and, when a file is given, on real data.
// Usage: block_match_bench [MIB [CORPUS_FILE]]

#include "update/block_matcher.h"
#include "update/block_ranges.h"

#include "tests/update/block_index_maker.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

double Seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Case {
    const char* name;
    std::string old;
    std::string now;
    std::uint64_t changed;  // the bytes a perfect method would fetch
};

struct Outcome {
    std::uint64_t fetched = 0;
    std::size_t ranges = 0;
    double mibPerSecond = 0;
};

Outcome Run(const Case& c, std::uint32_t blockSize)
{
    const std::string indexBytes = blocktest::MakeIndexBytes(c.now, blockSize);
    BlockIndex index;
    ParseBlockIndex(indexBytes, index);
    BlockMatcher matcher(index);
    const double start = Seconds();
    constexpr std::size_t kPiece = 1u << 20;
    for (std::size_t at = 0; at < c.old.size(); at += kPiece)
        matcher.Feed(reinterpret_cast<const unsigned char*>(c.old.data()) + at, std::min(kPiece, c.old.size() - at));
    matcher.Finish();
    const double seconds = Seconds() - start;
    Outcome outcome;
    outcome.fetched = indexBytes.size();
    for (const ByteRange& range : MissingRanges(index, matcher.Sources())) {
        outcome.fetched += range.Size();
        ++outcome.ranges;
    }
    outcome.mibPerSecond = static_cast<double>(c.old.size()) / (1 << 20) / seconds;
    return outcome;
}

std::vector<Case> Cases(std::size_t size)
{
    const std::string old = blocktest::RandomBytes(size, 1);
    std::vector<Case> cases;
    std::string a = old;
    for (std::size_t i = 0; i < 16; ++i)
        a.replace(i * (size / 16) + 777777 % (size / 16), 65536, blocktest::RandomBytes(65536, 100 + i));
    cases.push_back({"(a) 16 x 64 KiB changed", old, a, 16 * 65536});
    std::string b = old;
    b.insert(1000003, blocktest::RandomBytes(10240, 200));
    cases.push_back({"(b) 10 KiB inserted", old, b, 10240});
    cases.push_back({"(c) old copy half", old.substr(0, size / 2), old, size - size / 2});
    std::string e = old;
    for (std::size_t i = 0; i < 1000; ++i)
        e.replace((i * 2654435761u) % (size - 100), 100, blocktest::RandomBytes(100, 300 + i));
    cases.push_back({"(e) 1000 x 100 B changed", old, e, 1000 * 100});
    cases.push_back({"unrelated old copy", blocktest::RandomBytes(size, 2), old, size});
    // A preallocated archive: zeros but for the data written into it, every block of zeros with the same sums.
    const std::string zeros(size, '\0');
    std::string z = zeros;
    z.replace(size / 2, 1 << 20, blocktest::RandomBytes(1 << 20, 400));
    cases.push_back({"(z) zeros, 1 MiB written", zeros, z, 1 << 20});
    return cases;
}

// Rolls the weak sum over `old` against the blocks of `now` and counts the offsets whose weak sum is some block's
// while the strong sum is not: the matches the strong sum has to throw out.
void FalseMatches(const char* what, const std::string& old, const std::string& now, std::uint32_t blockSize)
{
    const BlockIndex index = blocktest::MakeIndex(now, blockSize);
    std::unordered_multimap<std::uint32_t, std::uint64_t> blocks;
    for (std::size_t i = 0; i + 1 < index.Blocks(); ++i)
        blocks.emplace(index.weak[i], index.strong[i]);
    const StrongBlockSum strong(blockSize);
    RollingAdler32 rolling(blockSize);
    const auto* bytes = reinterpret_cast<const unsigned char*>(old.data());
    rolling.Start(bytes);
    std::uint64_t weakHits = 0;
    std::uint64_t trueHits = 0;
    const std::size_t offsets = old.size() - blockSize + 1;
    for (std::size_t at = 0; at < offsets; ++at) {
        if (at > 0)
            rolling.Roll(bytes[at - 1], bytes[at + blockSize - 1]);
        const auto [first, last] = blocks.equal_range(rolling.Value());
        if (first == last)
            continue;
        ++weakHits;
        const std::uint64_t sum = strong.Of(bytes + at, blockSize);
        for (auto it = first; it != last; ++it) {
            if (it->second == sum) {
                ++trueHits;
                break;
            }
        }
    }
    const double falseRate = static_cast<double>(weakHits - trueHits) / static_cast<double>(offsets);
    // What a weak sum of 32 evenly spread bits would give: blocks / 2^32 per offset.
    const double ideal = static_cast<double>(blocks.size()) / 4294967296.0;
    std::printf("%-34s %9zu blocks  weak hits %9llu (same block %9llu)  false per offset %.2e = %.1fx an even "
                "32-bit sum\n",
                what, blocks.size(), static_cast<unsigned long long>(weakHits),
                static_cast<unsigned long long>(trueHits), falseRate, falseRate / ideal);
}

}

int main(int argc, char** argv)
{
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 512;
    const std::vector<Case> cases = Cases(mib << 20);
    std::printf("%zu MiB; fetched = index + missing ranges, ratio to the changed bytes; scan in MiB/s\n", mib);
    for (const std::uint32_t blockSize : {2048u, 4096u, 8192u, 16384u, 32768u}) {
        const std::uint64_t indexBytes = kBlockIndexHeaderBytes + BlockCount(mib << 20, blockSize) * 12;
        std::printf("block %2u KiB (index %.2f MiB, %.3f%% of the file)\n", blockSize / 1024,
                    static_cast<double>(indexBytes) / (1 << 20), 100.0 * static_cast<double>(indexBytes) /
                                                                     static_cast<double>(mib << 20));
        for (const Case& c : cases) {
            const Outcome outcome = Run(c, blockSize);
            std::printf("  %-26s fetched %9.3f MiB  %6.2fx changed  %5zu ranges  scan %6.0f MiB/s\n", c.name,
                        static_cast<double>(outcome.fetched) / (1 << 20),
                        static_cast<double>(outcome.fetched) / static_cast<double>(c.changed), outcome.ranges,
                        outcome.mibPerSecond);
        }
    }
    std::printf("false matches of the weak sum (8 KiB blocks):\n");
    FalseMatches("random bytes", cases[4].old.substr(0, 128u << 20), cases[0].now.substr(0, 128u << 20), 8192);
    if (argc > 2) {
        std::ifstream stream(argv[2], std::ios::binary);
        const std::string corpus((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
        FalseMatches(argv[2], corpus.substr(0, corpus.size() / 2), corpus.substr(corpus.size() / 2), 8192);
    }
    return 0;
}
