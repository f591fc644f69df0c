#pragma once

// The standard reflected CRC-32 (polynomial 0xEDB88320, the checksum of ZIP and Ethernet) over memory. Plain C++
// with no system headers, so the same code builds for the launcher and natively for the throughput benchmark.

#include <cstddef>
#include <cstdint>

// Continues a checksum: pass 0 for the first block and the previous result for the next ones, so the blocks of a
// file give the same value as one call over all of its bytes. Uses the fastest path this CPU has; every path
// gives identical results.
std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t size);

// The checksum of two blocks one after the other, from the checksum of each and the second's length, so pieces of a
// file checked apart (written out of order, say) give the value of one call over all of its bytes.
std::uint32_t Crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondSize);

// The ways of computing it, slowest first.
enum class Crc32Path {
    Portable,  // table driven, sixteen bytes per step, the same on every CPU
    Clmul,     // folding with carry-less multiplication (PCLMULQDQ, SSE4.1), 64 bytes per step
    Clmul512,  // the same folding on 512-bit registers (VPCLMULQDQ, AVX-512), 256 bytes per step
};

// Whether this CPU and the operating system can run the path (Portable always can).
bool Crc32PathAvailable(Crc32Path path);
// The path Crc32 uses.
Crc32Path Crc32BestPath();
// Crc32 through one given path; only for a path that is available.
std::uint32_t Crc32Using(Crc32Path path, std::uint32_t crc, const void* data, std::size_t size);
