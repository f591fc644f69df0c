#include "update/block_checksum.h"
#include "update/block_index.h"
#include "update/block_index_ref.h"

#include "tests/update/block_index_maker.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

const unsigned char* Bytes(const std::string& text)
{
    return reinterpret_cast<const unsigned char*>(text.data());
}

// The block read as a big-endian number modulo a prime, by Horner's rule one byte at a time: another way to the
// value the strong sum computes as a weighted sum.
std::uint64_t ResidueOf(const std::string& bytes, std::uint32_t prime)
{
    std::uint64_t residue = 0;
    for (const char c : bytes)
        residue = (residue * 256 + static_cast<unsigned char>(c)) % prime;
    return residue;
}

}

TEST(BlockChecksum, WeakSumIsZlibsAdler32)
{
    // Values zlib's adler32() gives.
    EXPECT_EQ(Adler32(nullptr, 0), 1u);
    EXPECT_EQ(Adler32(Bytes("Wikipedia"), 9), 0x11E60398u);
    const std::string ones(100000, '\xFF');
    EXPECT_EQ(Adler32(Bytes(ones), ones.size()), 0x149A302Cu);
}

TEST(BlockChecksum, RollingWeakSumEqualsTheSumAtEveryOffset)
{
    // A window of 514 random bytes sums to about 65,500: its running sum keeps crossing the modulus, where a
    // wrong reduction would show. The others cover a window of one byte, one of a plain block and one longer
    // than the run after which the sum is reduced.
    const std::string data = blocktest::RandomBytes(20000, 3) + std::string(6000, '\xFF') + std::string(6000, '\0');
    for (const std::uint32_t window : {1u, 514u, 4096u, 6000u}) {
        RollingAdler32 rolling(window);
        rolling.Start(Bytes(data));
        for (std::size_t at = 1; at + window <= data.size(); ++at) {
            rolling.Roll(Bytes(data)[at - 1], Bytes(data)[at + window - 1]);
            ASSERT_EQ(rolling.Value(), Adler32(Bytes(data) + at, window)) << "window " << window << " at " << at;
        }
    }
}

TEST(BlockChecksum, StrongSumIsTheBlockAsANumberModuloEachPrime)
{
    const StrongBlockSum strong(8192);
    const std::string data = blocktest::RandomBytes(8192, 5);
    // Whole blocks and shorter ones (a file's last block) alike.
    for (const std::size_t length : {std::size_t{8192}, std::size_t{8191}, std::size_t{1000}, std::size_t{1}}) {
        const std::string block = data.substr(0, length);
        const std::uint64_t sum = strong.Of(Bytes(block), length);
        EXPECT_EQ(sum & 0xFFFFFFFFu, ResidueOf(block, kStrongPrimeLow)) << length;
        EXPECT_EQ(sum >> 32, ResidueOf(block, kStrongPrimeHigh)) << length;
        EXPECT_TRUE(StrongBlockSum::Plausible(sum));
    }
    // Two bytes swapped, or one byte moved by a whole block's worth of positions, change the sum.
    std::string swapped = data;
    std::swap(swapped[10], swapped[4000]);
    ASSERT_NE(swapped, data);
    EXPECT_NE(strong.Of(Bytes(swapped), 8192), strong.Of(Bytes(data), 8192));
    EXPECT_FALSE(StrongBlockSum::Plausible(std::uint64_t{kStrongPrimeHigh} << 32));
    EXPECT_FALSE(StrongBlockSum::Plausible(kStrongPrimeLow));
}

TEST(BlockIndex, ReadsWhatTheToolWrites)
{
    const std::string file = blocktest::RandomBytes(3 * 4096 + 100, 9);
    BlockIndex index;
    ASSERT_TRUE(ParseBlockIndex(blocktest::MakeIndexBytes(file, 4096), index));
    EXPECT_EQ(index.fileSize, file.size());
    EXPECT_EQ(index.blockSize, 4096u);
    EXPECT_EQ(index.fileCrc32, Crc32(0, file.data(), file.size()));
    ASSERT_EQ(index.Blocks(), 4u);
    EXPECT_EQ(index.Offset(3), 3u * 4096);
    EXPECT_EQ(index.Length(2), 4096u);
    EXPECT_EQ(index.Length(3), 100u);
    EXPECT_EQ(index.weak[3], Adler32(Bytes(file) + 3 * 4096, 100));
    EXPECT_EQ(index.strong[1], StrongBlockSum(4096).Of(Bytes(file) + 4096, 4096));
}

TEST(BlockIndex, RefusesAnIndexThatLiesOrCostsTooMuch)
{
    const std::string good = blocktest::MakeIndexBytes(blocktest::RandomBytes(5000, 1), 1024);
    const auto with = [&](std::size_t at, std::uint64_t value, int bytes) {
        std::string changed = good;
        for (int i = 0; i < bytes; ++i)
            changed[at + i] = static_cast<char>(value >> (8 * i) & 0xFF);
        return changed;
    };
    const std::string refused[] = {
        "",
        good.substr(0, kBlockIndexHeaderBytes),
        good.substr(0, good.size() - 1),
        good + std::string(kBlockIndexRecordBytes, '\0'),
        "VORNBLK2" + good.substr(8),
        with(8, 0, 8),                    // an empty file
        with(8, 6200, 8),                 // a size that needs another block than there are records
        with(16, 1536, 4),                // a block size that is no power of two
        with(16, 512, 4),                 // blocks below the smallest
        with(16, 2u << 20, 4),            // blocks above the largest
        with(8, ~std::uint64_t{0}, 8),    // a size whose block count would overflow
        with(24, 0xFFF1FFF1u, 4),         // a weak sum Adler-32 cannot give
        with(28, 0xFFFFFFFFu, 4),         // a strong sum at or above its prime
    };
    for (const std::string& bytes : refused) {
        BlockIndex index;
        index.blockSize = 77;
        EXPECT_FALSE(ParseBlockIndex(bytes, index)) << bytes.size();
        EXPECT_EQ(index.blockSize, 77u);
    }
    // A file of more blocks than the launcher holds, even with an index of the right length.
    std::string huge = with(8, (kMaxIndexBlocks + 1) * std::uint64_t{1024}, 8).substr(0, kBlockIndexHeaderBytes);
    huge.resize(kBlockIndexHeaderBytes + (kMaxIndexBlocks + 1) * kBlockIndexRecordBytes, '\0');
    BlockIndex index;
    EXPECT_FALSE(ParseBlockIndex(huge, index));
}

TEST(BlockIndexRef, TheManifestNamesEachIndexWithItsSizeAndDigest)
{
    const std::wstring digest = L"aee566d1c7756a84747aee5ca4152ed00a9e72752a53ed369f35cb74c04bfbf8";
    const IniFile manifest = IniFile::FromText(
        L"[Set]\r\nCount=4\r\n[up]\r\nFile1=a\r\n[Blocks]\r\nIndex1=4632 " + digest + L" up.ini.blocks/" + digest +
        L"\r\nIndex3=4632 " + digest + L" ../outside\r\nIndex4=4632 " + digest + L" /up.ini.blocks/x y\r\n");
    const std::vector<std::optional<BlockIndexRef>> refs = ReadBlockIndexRefs(manifest, 4);
    ASSERT_EQ(refs.size(), 4u);
    ASSERT_TRUE(refs[0]);
    EXPECT_EQ(refs[0]->size, 4632u);
    EXPECT_EQ(refs[0]->sha256[0], 0xAE);
    EXPECT_EQ(refs[0]->sha256[31], 0xF8);
    EXPECT_EQ(refs[0]->sitePath, L"up.ini.blocks\\" + digest);
    EXPECT_FALSE(refs[1]);  // none listed
    EXPECT_FALSE(refs[2]);  // a path the manifest's rules refuse
    ASSERT_TRUE(refs[3]);
    EXPECT_EQ(refs[3]->sitePath, L"up.ini.blocks\\x y");

    const std::wstring site = L" up.ini.blocks/i";
    for (const std::wstring& value : {L"4632 " + digest, L"04632 " + digest + site, L"4632 " + digest.substr(1) + site,
                                      L"4632 " + digest.substr(1) + L"g" + site, L"23 " + digest + site,
                                      std::to_wstring(kMaxBlockIndexBytes + 1) + L" " + digest + site,
                                      L"-4632 " + digest + site, L"4632  " + digest + site}) {
        EXPECT_FALSE(ParseBlockIndexRef(value)) << value;
    }
    EXPECT_TRUE(ParseBlockIndexRef(std::to_wstring(kMaxBlockIndexBytes) + L" " + digest + site));
}
