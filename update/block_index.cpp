#include "update/block_index.h"

#include "update/block_checksum.h"

namespace {

constexpr std::string_view kMagic = "VORNBLK1";

std::uint64_t ReadLittle(const char* p, int bytes)
{
    std::uint64_t value = 0;
    for (int i = bytes; i-- > 0;)
        value = value << 8 | static_cast<unsigned char>(p[i]);
    return value;
}

bool IsPowerOfTwo(std::uint32_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

// Adler-32 keeps both halves below its modulus; anything else never came out of the sum.
bool PlausibleWeak(std::uint32_t weak)
{
    return (weak & 0xFFFFu) < kAdlerModulus && (weak >> 16) < kAdlerModulus;
}

}

std::uint32_t BlockIndex::Length(std::size_t block) const
{
    const std::uint64_t rest = fileSize - Offset(block);
    return rest < blockSize ? static_cast<std::uint32_t>(rest) : blockSize;
}

std::uint64_t BlockCount(std::uint64_t fileSize, std::uint32_t blockSize)
{
    return fileSize / blockSize + (fileSize % blockSize != 0 ? 1 : 0);
}

bool ParseBlockIndex(std::string_view bytes, BlockIndex& index)
{
    if (bytes.size() < kBlockIndexHeaderBytes || bytes.size() > kMaxBlockIndexBytes ||
        bytes.substr(0, kMagic.size()) != kMagic)
        return false;
    BlockIndex parsed;
    parsed.fileSize = ReadLittle(bytes.data() + 8, 8);
    parsed.blockSize = static_cast<std::uint32_t>(ReadLittle(bytes.data() + 16, 4));
    parsed.fileCrc32 = static_cast<std::uint32_t>(ReadLittle(bytes.data() + 20, 4));
    if (parsed.fileSize == 0 || !IsPowerOfTwo(parsed.blockSize) || parsed.blockSize < kMinIndexBlock ||
        parsed.blockSize > kMaxIndexBlock)
        return false;
    // The byte count is capped, so a matching block count is capped too; comparing before multiplying keeps a
    // huge announced size from overflowing anything.
    const std::uint64_t count = BlockCount(parsed.fileSize, parsed.blockSize);
    if (count > kMaxIndexBlocks || bytes.size() != kBlockIndexHeaderBytes + count * kBlockIndexRecordBytes)
        return false;
    parsed.weak.resize(static_cast<std::size_t>(count));
    parsed.strong.resize(static_cast<std::size_t>(count));
    const char* record = bytes.data() + kBlockIndexHeaderBytes;
    for (std::size_t i = 0; i < parsed.weak.size(); ++i, record += kBlockIndexRecordBytes) {
        parsed.weak[i] = static_cast<std::uint32_t>(ReadLittle(record, 4));
        parsed.strong[i] = ReadLittle(record + 4, 8);
        if (!PlausibleWeak(parsed.weak[i]) || !StrongBlockSum::Plausible(parsed.strong[i]))
            return false;
    }
    index = std::move(parsed);
    return true;
}
