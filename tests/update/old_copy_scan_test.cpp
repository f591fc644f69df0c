#include "update/old_copy_scan.h"

#include "tests/support/process_probe.h"
#include "tests/update/block_index_maker.h"

#include <gtest/gtest.h>

#include <string>

TEST(OldCopyScan, ReadsAFileTheGameHoldsOpenThroughTheMatcher)
{
    probe::TempDir dir;
    // Larger than one piece of the scan, so blocks straddle the pieces.
    const std::string old = blocktest::RandomBytes((3u << 20) + 12345, 31);
    std::string now = old;
    now.replace(1u << 20, 4096, blocktest::RandomBytes(4096, 32));
    probe::WriteFileBytes(dir / L"data.pak", old);
    const BlockIndex index = blocktest::MakeIndex(now, 8192);

    // The running game keeps the file open for reading and writing and shares it for reading only.
    const UniqueFile held(CreateFileW((dir / L"data.pak").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    BlockMatcher matcher(index);
    ASSERT_EQ(ScanOldCopy(dir / L"data.pak", matcher, {}), OldCopyScan::kDone);
    for (std::size_t block = 0; block < index.Blocks(); ++block) {
        const bool changed = block == 128;
        EXPECT_EQ(matcher.Sources()[block], changed ? kBlockNotFound : index.Offset(block)) << block;
    }
}

TEST(OldCopyScan, AMissingFileAndACancelFindNothing)
{
    probe::TempDir dir;
    const std::string file = blocktest::RandomBytes(5u << 20, 33);
    probe::WriteFileBytes(dir / L"data.pak", file);
    const BlockIndex index = blocktest::MakeIndex(file, 8192);

    BlockMatcher missing(index);
    EXPECT_EQ(ScanOldCopy(dir / L"none.pak", missing, {}), OldCopyScan::kUnreadable);
    EXPECT_EQ(missing.FoundBytes(), 0u);

    // The cancel comes after two pieces: the scan stops there, long before the file's end.
    int asked = 0;
    BlockMatcher cancelled(index);
    EXPECT_EQ(ScanOldCopy(dir / L"data.pak", cancelled, [&] { return ++asked > 2; }), OldCopyScan::kCancelled);
    EXPECT_EQ(asked, 3);
    EXPECT_LE(cancelled.FoundBytes(), 2u << 20);
}
