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
