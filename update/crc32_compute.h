#pragma once

// The standard reflected CRC-32 (polynomial 0xEDB88320, the checksum of ZIP and Ethernet) over memory. Plain C++
// with no system headers, so the same code builds for the launcher and natively for the throughput benchmark.

#include <cstddef>
#include <cstdint>

// Continues a checksum: pass 0 for the first block and the previous result for the next ones, so the blocks of a
// file give the same value as one call over all of its bytes. Uses the carry-less multiply path when the CPU has
// it, the portable one otherwise; both give identical results.
std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t size);

// The portable path: table driven, sixteen bytes per step, the same on every CPU.
std::uint32_t Crc32Portable(std::uint32_t crc, const void* data, std::size_t size);

// The carry-less multiply (PCLMULQDQ) path; only to be called when Crc32AcceleratedAvailable() is true.
bool Crc32AcceleratedAvailable();
std::uint32_t Crc32Accelerated(std::uint32_t crc, const void* data, std::size_t size);
