#include "update/block_matcher.h"
#include "update/block_ranges.h"

#include "tests/update/block_index_maker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kBlock = 1024;

// The old copy fed to a matcher in pieces of `piece` bytes. Every block found is handed over once, with the
// bytes of the old copy where it was found.
std::vector<std::uint64_t> Match(const BlockIndex& index, const std::string& old, std::size_t piece)
{
    std::vector<std::string> handed(index.Blocks());
    std::vector<int> times(index.Blocks());
    BlockMatcher matcher(index, [&](std::size_t block, const unsigned char* data) {
        ++times[block];
        handed[block].assign(reinterpret_cast<const char*>(data), index.Length(block));
    });
    for (std::size_t at = 0; at < old.size(); at += piece) {
        const std::size_t size = std::min(piece, old.size() - at);
        matcher.Feed(reinterpret_cast<const unsigned char*>(old.data()) + at, size);
    }
    matcher.Finish();
    std::uint64_t found = 0;
    for (std::size_t block = 0; block < index.Blocks(); ++block) {
        const std::uint64_t source = matcher.Sources()[block];
        found += source == kBlockNotFound ? 0 : index.Length(block);
        EXPECT_EQ(times[block], source == kBlockNotFound ? 0 : 1) << "block " << block;
        if (source != kBlockNotFound) {
            EXPECT_EQ(handed[block], old.substr(source, index.Length(block))) << "block " << block;
        }
    }
    EXPECT_EQ(matcher.FoundBytes(), found);
    return matcher.Sources();
}

// The blocks without a source; every block with one must find the new file's bytes there.
std::vector<std::size_t> Missing(const BlockIndex& index, const std::vector<std::uint64_t>& sources,
                                 const std::string& old, const std::string& now)
{
    std::vector<std::size_t> missing;
    for (std::size_t block = 0; block < index.Blocks(); ++block) {
        if (sources[block] == kBlockNotFound) {
            missing.push_back(block);
            continue;
        }
        EXPECT_EQ(old.substr(sources[block], index.Length(block)),
                  now.substr(index.Offset(block), index.Length(block)))
            << "block " << block << " taken from " << sources[block];
    }
    return missing;
}

std::vector<std::size_t> Blocks(std::size_t first, std::size_t last)
{
    std::vector<std::size_t> blocks;
    for (std::size_t block = first; block <= last; ++block)
        blocks.push_back(block);
    return blocks;
}

}

TEST(BlockMatcher, FindsEveryBlockOfAnUnchangedCopyWhateverThePieces)
{
    const std::string file = blocktest::RandomBytes(40 * kBlock + 300, 1);
    const BlockIndex index = blocktest::MakeIndex(file, kBlock);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{kBlock - 1}, std::size_t{kBlock},
                                    std::size_t{3 * kBlock + 5}, file.size()}) {
        const std::vector<std::uint64_t> sources = Match(index, file, piece);
        for (std::size_t block = 0; block < index.Blocks(); ++block)
            ASSERT_EQ(sources[block], index.Offset(block)) << "piece " << piece << " block " << block;
    }
}

TEST(BlockMatcher, FindsTheBlocksThatMovedAndOnlyThoseThatStayed)
{
    const std::string old = blocktest::RandomBytes(64 * kBlock, 2);
    // 10,000 bytes inserted inside block 3, block 20 changed in its middle, blocks 40 and 41 cut out, and the end
    // made longer by half a block: everything else is still in the old copy, most of it at another offset.
    std::string now = old.substr(0, 3 * kBlock + 17) + blocktest::RandomBytes(10000, 3) + old.substr(3 * kBlock + 17);
    const std::size_t shift = 10000;
    now[shift + 20 * kBlock + 500] ^= 0x55;
    now.erase(shift + 40 * kBlock, 2 * kBlock);
    now += blocktest::RandomBytes(kBlock / 2, 4);
    const BlockIndex index = blocktest::MakeIndex(now, kBlock);
    const std::vector<std::size_t> missing = Missing(index, Match(index, old, 4096), old, now);

    // Found: every block of the new file that lies wholly inside an unchanged stretch of the old one.
    std::vector<std::size_t> expected;
    for (std::size_t block = 0; block < index.Blocks(); ++block) {
        const std::uint64_t first = index.Offset(block);
        const std::uint64_t end = first + index.Length(block);
        const bool unchanged = end <= 3 * kBlock + 17 ||
                               (first >= 3 * kBlock + 17 + shift && end <= shift + 20 * kBlock + 500) ||
                               (first > shift + 20 * kBlock + 500 && end <= shift + 40 * kBlock) ||
                               (first >= shift + 40 * kBlock && end <= old.size() + shift - 2 * kBlock);
        if (!unchanged)
            expected.push_back(block);
    }
    EXPECT_EQ(expected.size(), 14u);  // ten for the insertion, two for the edits, two at the end
    EXPECT_EQ(missing, expected);
}

TEST(BlockMatcher, TakesEveryCopyOfARepeatedBlockFromOneSpot)
{
    // The new file repeats one block of zeros ten times; the old copy holds it once, behind other data.
    const std::string zeros(kBlock, '\0');
    std::string now = blocktest::RandomBytes(2 * kBlock, 5);
    for (int i = 0; i < 10; ++i)
        now += zeros;
    now += blocktest::RandomBytes(kBlock, 6);
    const std::string old = blocktest::RandomBytes(5 * kBlock + 3, 7) + zeros + now.substr(0, 2 * kBlock);
    const BlockIndex index = blocktest::MakeIndex(now, kBlock);
    EXPECT_EQ(Missing(index, Match(index, old, 1000), old, now), std::vector<std::size_t>{12});
}

// Every block of one byte value has the same sums; once they are found, a run of that byte is passed at once
// instead of looked up at every offset. Not past a block that begins in the run's last bytes, nor past a block
// of other bytes with the same weak sum (two bytes up and two down keep both halves of the Adler-32).
TEST(BlockMatcher, ARunOfOneByteIsPassedAtOnceButNoBlockInItOrBehindItIsMissed)
{
    const std::string run(kBlock, '\x10');
    const std::string data = blocktest::RandomBytes(2 * kBlock, 8);
    const std::string edge = std::string(700, '\x10') + data.substr(0, kBlock - 700);
    const std::string now = run + edge + data.substr(kBlock - 700, kBlock) + blocktest::RandomBytes(kBlock, 9);
    // The run crosses the pieces fed and ends 700 bytes into the block it does not fill.
    const std::string old = blocktest::RandomBytes(3 * kBlock + 5, 10) + run + run + run + run + run +
                            std::string(333, '\x10') + data + blocktest::RandomBytes(17, 11);
    const BlockIndex index = blocktest::MakeIndex(now, kBlock);
    EXPECT_EQ(Missing(index, Match(index, old, 1000), old, now), std::vector<std::size_t>{3});

    std::string twin = run;
    ++twin[100];
    --twin[101];
    --twin[600];
    ++twin[601];
    const std::string withTwin = twin + run + run + run + data.substr(0, kBlock);
    const std::string oldWithTwin = blocktest::RandomBytes(3 * kBlock + 5, 12) + run + run + run + run + twin;
    const BlockIndex twinIndex = blocktest::MakeIndex(withTwin, kBlock);
    ASSERT_EQ(twinIndex.weak[0], twinIndex.weak[1]);
    EXPECT_EQ(Missing(twinIndex, Match(twinIndex, oldWithTwin, 1000), oldWithTwin, withTwin),
              std::vector<std::size_t>{4});
}

TEST(BlockMatcher, ContentHeldTwiceAtAnotherAlignmentStillGivesItsOwnBlocks)
{
    // The same 20 blocks' worth of bytes twice, each copy at another offset from the block grid; the byte before
    // the first copy changed, so the scan rolls into it and first meets the blocks of the second copy there.
    const std::string twice = blocktest::RandomBytes(20 * kBlock, 51);
    const std::string old = blocktest::RandomBytes(2148, 52) + twice + blocktest::RandomBytes(1848, 53) + twice +
                            blocktest::RandomBytes(2000, 54);
    std::string now = old;
    now[2100] ^= 1;
    const BlockIndex index = blocktest::MakeIndex(now, kBlock);
    const std::vector<std::size_t> missing = Missing(index, Match(index, old, 4096), old, now);
    // The first copy's blocks (3 to 21) are found in the second copy; at most the block where the scan left
    // the second copy's run is lost besides the changed one.
    ASSERT_FALSE(missing.empty());
    EXPECT_EQ(missing.front(), 2u);
    EXPECT_LE(missing.size(), 2u);
    for (const std::size_t block : missing)
        EXPECT_TRUE(block < 3 || block > 21) << block;
}

TEST(BlockMatcher, ATruncatedCopyGivesItsHalfAndAnUnrelatedOneNothing)
{
    const std::string now = blocktest::RandomBytes(30 * kBlock + 99, 8);
    const BlockIndex index = blocktest::MakeIndex(now, kBlock);
    const std::string half = now.substr(0, now.size() / 2);
    EXPECT_EQ(Missing(index, Match(index, half, 5000), half, now), Blocks(15, 30));

    const std::string unrelated = blocktest::RandomBytes(now.size(), 9);
    EXPECT_EQ(Missing(index, Match(index, unrelated, 5000), unrelated, now), Blocks(0, 30));
    EXPECT_EQ(Missing(index, Match(index, std::string(), 5000), std::string(), now), Blocks(0, 30));
}

TEST(BlockMatcher, FindsTheShortLastBlockAtTheEndOfTheOldCopy)
{
    const std::string now = blocktest::RandomBytes(8 * kBlock + 10, 10);
    const BlockIndex index = blocktest::MakeIndex(now, kBlock);
    // New data in front moves the whole file, the short last block included, to the old copy's end.
    const std::string old = blocktest::RandomBytes(333, 11) + now;
    const std::vector<std::uint64_t> sources = Match(index, old, 100);
    EXPECT_TRUE(Missing(index, sources, old, now).empty());
    EXPECT_EQ(sources[8], old.size() - 10);
}

TEST(BlockRanges, MissingBlocksBecomeRangesCutAndGroupedWithinTheLimits)
{
    const std::string now = blocktest::RandomBytes(10 * kBlock + 7, 12);
    const BlockIndex index = blocktest::MakeIndex(now, kBlock);
    std::vector<std::uint64_t> sources(index.Blocks(), 0);
    for (const std::size_t block : {1u, 2u, 3u, 5u, 9u, 10u})
        sources[block] = kBlockNotFound;
    EXPECT_EQ(MissingRanges(index, sources), (std::vector<ByteRange>{{1024, 4095}, {5120, 6143}, {9216, 10246}}));

    // No range longer than the cap: a run of three blocks becomes 2000 + 1072 bytes.
    const std::vector<ByteRange> cut = MissingRanges(index, sources, 2000);
    EXPECT_EQ(cut, (std::vector<ByteRange>{{1024, 3023}, {3024, 4095}, {5120, 6143}, {9216, 10246}}));

    const std::vector<std::vector<ByteRange>> byCount = GroupRanges(cut, {3, 1u << 30});
    ASSERT_EQ(byCount.size(), 2u);
    EXPECT_EQ(byCount[0].size(), 3u);
    EXPECT_EQ(byCount[1], (std::vector<ByteRange>{{9216, 10246}}));
    // By bytes: 2000 + 1072 would pass 3000.
    const std::vector<std::vector<ByteRange>> byBytes = GroupRanges(cut, {10, 3000});
    ASSERT_EQ(byBytes.size(), 3u);
    EXPECT_EQ(byBytes[1], (std::vector<ByteRange>{{3024, 4095}, {5120, 6143}}));
    EXPECT_EQ(RangeHeaderValue(byBytes[1]), "bytes=3024-4095,5120-6143");
    // Ranges past 4 GiB keep their full numbers.
    EXPECT_EQ(RangeHeaderValue({{5000000000ull, 5000004095ull}}), "bytes=5000000000-5000004095");
}
