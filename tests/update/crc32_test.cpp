#include "update/crc32.h"
#include "update/crc32_compute.h"
#include "update/written_crc.h"

#include "tests/support/process_probe.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// Bit by bit, straight from the definition: the reference both fast paths are held against.
std::uint32_t ReferenceCrc32(const std::string& bytes)
{
    std::uint32_t reg = 0xFFFFFFFFu;
    for (const char c : bytes) {
        reg ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return ~reg;
}

std::string RandomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

}

TEST(Crc32, KnownValuesOfFiles)
{
    probe::TempDir dir;
    probe::WriteFileBytes(dir / L"empty", "");
    probe::WriteFileBytes(dir / L"digits", "123456789");
    const vorn::Result<std::uint32_t> empty = FileCrc32(dir / L"empty");
    ASSERT_TRUE(empty) << empty.message().c_str();
    EXPECT_EQ(FormatCrc32(*empty), L"00000000");
    const vorn::Result<std::uint32_t> digits = FileCrc32(dir / L"digits");
    ASSERT_TRUE(digits);
    EXPECT_EQ(FormatCrc32(*digits), L"CBF43926");

    // Block boundaries of the 64 KiB reads do not change the value.
    for (const std::size_t size : {65535u, 65536u, 65537u, 3u * 65536u + 5u}) {
        const std::string bytes = RandomBytes(size, static_cast<unsigned>(size));
        probe::WriteFileBytes(dir / L"block", bytes);
        const vorn::Result<std::uint32_t> crc = FileCrc32(dir / L"block");
        ASSERT_TRUE(crc) << size;
        EXPECT_EQ(*crc, ReferenceCrc32(bytes)) << size;
    }
}

TEST(Crc32, UnreadablePathsFailNamingThePath)
{
    probe::TempDir dir;
    EXPECT_EQ(FileCrc32(dir / L"missing.bin").message(), L"无法读取文件：" + (dir / L"missing.bin"));
    EXPECT_FALSE(FileCrc32(dir.path()));

    // A file someone holds open without read sharing cannot be checked.
    probe::WriteFileBytes(dir / L"locked.bin", "data");
    UniqueFile holder(CreateFileW((dir / L"locked.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_FALSE(FileCrc32(dir / L"locked.bin"));
}

TEST(Crc32, TextFormIsEightUpperCaseDigits)
{
    EXPECT_EQ(FormatCrc32(0x7Bu), L"0000007B");
    EXPECT_EQ(FormatCrc32(0xABCDu), L"0000ABCD");
    EXPECT_EQ(FormatCrc32(0xDEADBEEFu), L"DEADBEEF");
    EXPECT_EQ(FormatCrc32(0xFFFFFFFFu), L"FFFFFFFF");
}

TEST(Crc32, EveryPathAgreesOverLengthsAndAlignments)
{
    std::vector<Crc32Path> paths;
    for (const Crc32Path path : {Crc32Path::Portable, Crc32Path::Clmul, Crc32Path::Clmul512}) {
        if (Crc32PathAvailable(path))
            paths.push_back(path);
    }
    ASSERT_TRUE(Crc32PathAvailable(Crc32Path::Portable));
    ASSERT_TRUE(Crc32PathAvailable(Crc32BestPath()));

    const std::string data = RandomBytes(70000, 7);
    std::mt19937 random(11);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t offset = random() % 64;
        // Mostly lengths around the folds' 16-, 64- and 256-byte steps, some long ones.
        const std::size_t length = round % 10 == 0 ? random() % (data.size() - 64) : random() % 600;
        const std::string piece = data.substr(offset, length);
        const std::uint32_t expected = ReferenceCrc32(piece);
        for (const Crc32Path path : paths) {
            ASSERT_EQ(Crc32Using(path, 0, data.data() + offset, length), expected)
                << static_cast<int>(path) << " " << offset << " " << length;
        }
        ASSERT_EQ(Crc32(0, data.data() + offset, length), expected) << offset << " " << length;
        // Continuing from a split point gives the one-shot value.
        const std::size_t split = length == 0 ? 0 : random() % length;
        ASSERT_EQ(Crc32(Crc32(0, piece.data(), split), piece.data() + split, length - split), expected);
    }
}

TEST(Crc32, WrittenPiecesGiveTheFilesValueOnlyWhenTheyCoverItExactlyOnce)
{
    const std::string bytes = RandomBytes(100000, 21);
    const std::uint32_t whole = ReferenceCrc32(bytes);
    for (const std::size_t split : {0u, 1u, 15u, 65536u, 99999u, 100000u}) {
        const std::uint32_t first = Crc32(0, bytes.data(), split);
        EXPECT_EQ(Crc32Combine(first, Crc32(0, bytes.data() + split, bytes.size() - split), bytes.size() - split), whole)
            << split;
    }

    // A write is [first, end) of `bytes`, or of other bytes when `other`.
    struct Write {
        std::size_t first;
        std::size_t end;
        bool other = false;
    };
    const std::string others = RandomBytes(bytes.size(), 22);
    const auto sums = [&](std::uint64_t fileSize, const std::vector<Write>& writes) {
        WrittenCrc written(fileSize);
        for (const Write& w : writes)
            written.Add(w.first, (w.other ? others : bytes).data() + w.first, w.end - w.first);
        return written.Whole();
    };
    // Out of order, as the copied runs and the ranges of several connections come, joined on either side.
    EXPECT_EQ(sums(bytes.size(), {{50000, 70000}, {0, 10000}, {70000, 100000}, {10000, 30000}, {30000, 50000}}),
              whole);
    const std::vector<std::pair<const char*, std::vector<Write>>> unsound = {
        {"a gap", {{0, 10000}, {10001, 100000}}},
        {"a cut range asked again from its start", {{0, 60000}, {40000, 60000}, {60000, 100000}}},
        {"the same range twice, the second time other bytes", {{0, 50000}, {0, 50000, true}, {50000, 100000}}},
        {"a range over written neighbours", {{0, 10000}, {20000, 100000}, {5000, 25000}}},
    };
    for (const auto& [name, writes] : unsound)
        EXPECT_FALSE(sums(bytes.size(), writes)) << name;
    EXPECT_FALSE(sums(bytes.size() - 1, {{0, 100000}})) << "past the end";
}
