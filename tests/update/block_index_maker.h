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

// The index file of a file given in pieces of any size, for files too large to hold (the benchmarks' 512 MiB).
class IndexWriter {
public:
    explicit IndexWriter(std::uint32_t blockSize) : blockSize_(blockSize), strong_(blockSize) {}

    void Add(const char* data, std::size_t size)
    {
        size_ += size;
        crc_ = Crc32(crc_, data, size);
        while (size > 0) {
            const std::size_t take = std::min<std::size_t>(size, blockSize_ - block_.size());
            block_.append(data, take);
            data += take;
            size -= take;
            if (block_.size() == blockSize_)
                Record();
        }
    }

    std::string Finish()
    {
        if (!block_.empty())
            Record();
        std::string out = "VORNBLK1";
        PutLittle(out, size_, 8);
        PutLittle(out, blockSize_, 4);
        PutLittle(out, crc_, 4);
        return out + records_;
    }

private:
    void Record()
    {
        const auto* bytes = reinterpret_cast<const unsigned char*>(block_.data());
        PutLittle(records_, Adler32(bytes, block_.size()), 4);
        PutLittle(records_, strong_.Of(bytes, block_.size()), 8);
        block_.clear();
    }

    std::uint32_t blockSize_;
    StrongBlockSum strong_;
    std::string block_;
    std::string records_;
    std::uint64_t size_ = 0;
    std::uint32_t crc_ = 0;
};

// The index file of `data` at `blockSize`.
inline std::string MakeIndexBytes(std::string_view data, std::uint32_t blockSize)
{
    IndexWriter writer(blockSize);
    writer.Add(data.data(), data.size());
    return writer.Finish();
}

inline BlockIndex MakeIndex(std::string_view data, std::uint32_t blockSize)
{
    BlockIndex index;
    ParseBlockIndex(MakeIndexBytes(data, blockSize), index);
    return index;
}

// Pseudo-random bytes from a seed (splitmix64), the same on every machine. Its period of 2^64 keeps the bytes of
// different seeds and pieces apart: a generator of 32-bit state repeats stretches within a few hundred MiB, and
// the matcher rightly finds them.
inline std::string RandomBytes(std::size_t size, std::uint32_t seed)
{
    std::string bytes(size, '\0');
    std::uint64_t state = seed;
    for (std::size_t at = 0; at < size; at += 8) {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        for (std::size_t i = at; i < std::min(size, at + 8); ++i, z >>= 8)
            bytes[i] = static_cast<char>(z & 0xFF);
    }
    return bytes;
}

}
