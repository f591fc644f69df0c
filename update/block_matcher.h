#pragma once

// Finds the blocks of a new file (given by its block index) in an old copy of it, wherever they lie: the old
// copy is read once, front to back, in pieces of any size, and every offset of it is a candidate, so blocks that
// moved (after an insertion, say) are found as well as those that stayed. Plain C++ with no system headers, so
// its speed can be measured natively too.

#include "update/block_checksum.h"
#include "update/block_index.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

inline constexpr std::uint64_t kBlockNotFound = std::numeric_limits<std::uint64_t>::max();

// Hears of each block of the new file as it is found, once, with its bytes (its length of them), which stay valid
// only during the call.
using FoundBlockObserver = std::function<void(std::size_t block, const unsigned char* data)>;

class BlockMatcher {
public:
    // An index ParseBlockIndex accepted, which must outlive the matcher.
    explicit BlockMatcher(const BlockIndex& index, FoundBlockObserver onFound = {});

    // The next bytes of the old copy, in order.
    void Feed(const unsigned char* data, std::size_t size);
    // After the last piece: the last block, when it is shorter than the others, is looked for at the old copy's
    // end (where an unchanged tail stays).
    void Finish();

    // Where in the old copy each block of the new file begins; kBlockNotFound for a block that must be fetched.
    const std::vector<std::uint64_t>& Sources() const { return sources_; }
    // The bytes of the new file that the old copy holds.
    std::uint64_t FoundBytes() const { return foundBytes_; }

private:
    void Scan();
    // Whether the window at old-copy offset `at` (weak sum `weak`, bytes at `window`) is one of the index's
    // full blocks; marks it found when so.
    bool Lookup(std::uint32_t weak, const unsigned char* window, std::uint64_t at);
    // For a window of one byte value whose blocks have all been found: the last window of that run of bytes within
    // the bytes at hand (up to `last`); any other window as it is.
    const unsigned char* PastRun(const unsigned char* window, const unsigned char* last) const;
    void Found(std::size_t block, std::uint64_t at, const unsigned char* data);

    const BlockIndex& index_;
    const std::uint32_t blockSize_;
    const std::size_t fullBlocks_;  // the blocks of blockSize_ bytes; a shorter last one is matched by Finish
    StrongBlockSum strong_;
    const FoundBlockObserver onFound_;

    // Full blocks by bucket of their weak sum, then weak sum, then strong sum: bucketStart_[k] is where bucket
    // k's blocks begin in order_. Blocks with equal sums (runs of zeros, say) are neighbours there and are
    // linked in a ring by sameAs_, so finding one finds them all.
    unsigned bucketShift_ = 0;
    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> bucketStart_;
    std::vector<std::uint32_t> sameAs_;
    std::vector<std::uint32_t> runEnd_;  // for a position in order_, the last position of its run of equal sums
    // A filter of the full blocks' weak sums (two bits each in one word): most offsets of an old copy that holds
    // nothing end at it without touching the larger tables.
    unsigned filterShift_ = 0;
    std::vector<std::uint32_t> filter_;

    std::vector<std::uint64_t> sources_;
    std::uint64_t foundBytes_ = 0;

    // The old copy's bytes from windowStart_ on that may still begin or end a block.
    std::vector<unsigned char> window_;
    std::uint64_t windowStart_ = 0;
    std::uint64_t position_ = 0;  // where the next window to look at begins
    RollingAdler32 rolling_;
    bool rollingValid_ = false;  // rolling_ holds the weak sum of the window at position_
    std::size_t expected_;       // the block after the last one found, tried first at the next window
    // A weak sum whose blocks have all been found: a run of one byte value (zeros, say) keeps the weak sum the same
    // at every offset, and is passed at once instead of looked up at every offset.
    std::optional<std::uint32_t> foundWeak_;
};
