#pragma once

// The block index of one large file, which the manifest tool (tools/make_manifest.py) publishes beside the
// manifest so that a launcher holding an older copy of the file fetches only the blocks it lacks. Little-endian
// binary:
//   8 bytes   "VORNBLK1"
//   8 bytes   the file's size, at least 1
//   4 bytes   the block size: a power of two from kMinIndexBlock to kMaxIndexBlock
//   4 bytes   the CRC-32 of the whole file, as the manifest gives it
//   12 bytes per block, in file order (the last block is shorter when the size is no multiple of the block):
//     4 bytes the weak sum (Adler-32 of the block's bytes)
//     8 bytes the strong sum (block_checksum.h): the residue modulo kStrongPrimeLow, then modulo kStrongPrimeHigh
// Plain C++ with no system headers, like the matcher.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

inline constexpr std::size_t kBlockIndexHeaderBytes = 24;
inline constexpr std::size_t kBlockIndexRecordBytes = 12;
inline constexpr std::uint32_t kMinIndexBlock = 1u << 10;
inline constexpr std::uint32_t kMaxIndexBlock = 1u << 20;
// The launcher holds at most 40 bytes per block while it matches (the index's 12, the matcher's lookup tables
// and where each block was found): half a million blocks keep that at 20 MiB, inside the 64 MiB an update may
// take (a 512 MiB file's 65,536 blocks left the scan at a peak working set of 14 MiB), and cover 4 GiB at the
// tool's 8 KiB blocks (a larger file gets larger blocks).
inline constexpr std::size_t kMaxIndexBlocks = 1u << 19;
inline constexpr std::size_t kMaxBlockIndexBytes = kBlockIndexHeaderBytes + kMaxIndexBlocks * kBlockIndexRecordBytes;

struct BlockIndex {
    std::uint64_t fileSize = 0;
    std::uint32_t blockSize = 0;
    std::uint32_t fileCrc32 = 0;
    // The sums of block i at position i, in two arrays: 12 bytes a block where a pair would take 16.
    std::vector<std::uint32_t> weak;
    std::vector<std::uint64_t> strong;

    std::size_t Blocks() const { return weak.size(); }

    // The block's place in the file and its length (the block size, or less for the last one).
    std::uint64_t Offset(std::size_t block) const { return static_cast<std::uint64_t>(block) * blockSize; }
    std::uint32_t Length(std::size_t block) const;
};

// Reads an index strictly: the form above, exactly one record per block, every sum one that the sums can give.
// False for anything else (the launcher then fetches the whole file); `index` is untouched then.
bool ParseBlockIndex(std::string_view bytes, BlockIndex& index);

// The number of blocks a file of this size has at this block size.
std::uint64_t BlockCount(std::uint64_t fileSize, std::uint32_t blockSize);
