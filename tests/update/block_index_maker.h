#pragma once

// Block indexes made in memory, the way tools/make_manifest.py writes them, for the tests and benchmarks of the
// matcher. Plain C++, so the native benchmarks use it too.

#include "update/block_checksum.h"
#include "update/block_index.h"
#include "update/crc32_compute.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace blocktest {

inline void PutLittle(std::string& out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
}

// The index file of `data` at `blockSize`.
inline std::string MakeIndexBytes(std::string_view data, std::uint32_t blockSize)
{
    std::string out = "VORNBLK1";
    PutLittle(out, data.size(), 8);
    PutLittle(out, blockSize, 4);
    PutLittle(out, Crc32(0, data.data(), data.size()), 4);
    const StrongBlockSum strong(blockSize);
    for (std::size_t at = 0; at < data.size(); at += blockSize) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(data.data()) + at;
        const std::size_t length = std::min<std::size_t>(blockSize, data.size() - at);
        PutLittle(out, Adler32(bytes, length), 4);
        PutLittle(out, strong.Of(bytes, length), 8);
    }
    return out;
}

inline BlockIndex MakeIndex(std::string_view data, std::uint32_t blockSize)
{
    BlockIndex index;
    ParseBlockIndex(MakeIndexBytes(data, blockSize), index);
    return index;
}

// Pseudo-random bytes from a seed (xorshift), the same on every machine.
inline std::string RandomBytes(std::size_t size, std::uint32_t seed)
{
    std::string bytes(size, '\0');
    // xorshift never leaves 0, and every seed gives its own start.
    std::uint32_t state = seed * 0x9E3779B9u + 0x7F4A7C15u;
    state = state == 0 ? 1 : state;
    for (char& c : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

}
