#pragma once

// The CRC-32 of a file taken from the bytes as they are written into it, in pieces of any size at any offsets and
// from several threads at once, so a file built out of order is checked without reading it back. It stands for
// the file only when the pieces cover it exactly once: a byte written twice (a range asked for again, a reply that
// joined ranges over copied blocks) or outside the file leaves no value, and the file is then read as any other.
// Plain C++ with no system headers.

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

class WrittenCrc {
public:
    explicit WrittenCrc(std::uint64_t fileSize);

    // `size` bytes just written at `offset`.
    void Add(std::uint64_t offset, const void* data, std::size_t size);

    // The file's CRC-32 when the pieces cover [0, fileSize) exactly once; none otherwise.
    std::optional<std::uint32_t> Whole() const;

private:
    struct Piece {
        std::uint64_t end = 0;  // the offset after its last byte
        std::uint32_t crc32 = 0;
    };

    const std::uint64_t fileSize_;
    mutable std::mutex lock_;
    // By first offset; neighbours are joined as they meet, so the map holds one piece per run of written bytes.
    std::map<std::uint64_t, Piece> pieces_;
    bool overlapped_ = false;  // a byte was written twice or outside the file
};
