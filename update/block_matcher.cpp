#include "update/block_matcher.h"

#include <algorithm>
#include <tuple>
#include <utility>

namespace {

// Fibonacci hashing: the top bits of the product depend on every bit of the weak sum, whose low half (Adler's
// plain byte sum) varies far less than its high half.
inline std::uint32_t Mix(std::uint32_t weak)
{
    return weak * 0x9E3779B1u;
}

// The filter has 16 to 32 bits per full block and sets two of them for each, in one 32-bit word: an offset that
// matches nothing passes it about once in fifty tries or less, for one load. It is the loop's main cost on an old
// copy that holds nothing, so it is kept small enough for the processor's cache (128 KiB for 65,536 blocks).
constexpr unsigned kFilterBitsPerBlock = 4;

inline std::uint32_t FilterBits(std::uint32_t weak)
{
    const std::uint32_t h = weak * 0x85EBCA6Bu;
    return 1u << (h >> 27) | 1u << (h >> 22 & 31);
}

// At least two, so that the filter has a whole word and its shift stays below 32.
unsigned BitsFor(std::size_t count)
{
    unsigned bits = 2;
    while ((std::size_t{1} << bits) < count)
        ++bits;
    return bits;
}

}

BlockMatcher::BlockMatcher(const BlockIndex& index, FoundBlockObserver onFound)
    : index_(index),
      blockSize_(index.blockSize),
      fullBlocks_(static_cast<std::size_t>(index.fileSize / index.blockSize)),
      strong_(index.blockSize),
      onFound_(std::move(onFound)),
      sources_(index.Blocks(), kBlockNotFound),
      rolling_(index.blockSize),
      expected_(fullBlocks_)
{
    const unsigned bucketBits = BitsFor(fullBlocks_);
    bucketShift_ = 32 - bucketBits;
    filterShift_ = bucketShift_ - kFilterBitsPerBlock + 5;
    filter_.assign((std::size_t{1} << (bucketBits + kFilterBitsPerBlock)) / 32, 0);

    order_.resize(fullBlocks_);
    for (std::size_t i = 0; i < fullBlocks_; ++i) {
        order_[i] = static_cast<std::uint32_t>(i);
        filter_[Mix(index_.weak[i]) >> filterShift_] |= FilterBits(index_.weak[i]);
    }
    const auto key = [&](std::uint32_t block) {
        return std::make_tuple(Mix(index_.weak[block]) >> bucketShift_, index_.weak[block], index_.strong[block]);
    };
    std::sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
        return std::make_tuple(key(a), a) < std::make_tuple(key(b), b);
    });

    bucketStart_.assign((std::size_t{1} << bucketBits) + 1, 0);
    for (const std::uint32_t block : order_)
        ++bucketStart_[(Mix(index_.weak[block]) >> bucketShift_) + 1];
    for (std::size_t k = 1; k < bucketStart_.size(); ++k)
        bucketStart_[k] += bucketStart_[k - 1];

    sameAs_.resize(fullBlocks_);
    runEnd_.resize(fullBlocks_);
    for (std::size_t first = 0; first < order_.size();) {
        std::size_t last = first;
        while (last + 1 < order_.size() && key(order_[last + 1]) == key(order_[first]))
            ++last;
        for (std::size_t i = first; i < last; ++i)
            sameAs_[order_[i]] = order_[i + 1];
        sameAs_[order_[last]] = order_[first];
        for (std::size_t i = first; i <= last; ++i)
            runEnd_[i] = static_cast<std::uint32_t>(last);
        first = last + 1;
    }
}

void BlockMatcher::Feed(const unsigned char* data, std::size_t size)
{
    window_.insert(window_.end(), data, data + size);
    Scan();
    // What stays: the bytes from position_ on (at most a block: Scan stops when the byte after a whole window is
    // missing) and at least the last block's length before the end, for Finish.
    const std::size_t fromPosition = static_cast<std::size_t>(windowStart_ + window_.size() - position_);
    const std::size_t keep = std::max(fromPosition, std::min<std::size_t>(window_.size(), blockSize_ - 1));
    const std::size_t drop = window_.size() - keep;
    window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(drop));
    windowStart_ += drop;
}

void BlockMatcher::Scan()
{
    const std::uint64_t end = windowStart_ + window_.size();
    const unsigned char* const bytes = window_.data();
    while (position_ + blockSize_ <= end) {
        const unsigned char* window = bytes + (position_ - windowStart_);
        // An old copy that holds the new file's blocks mostly holds them in order: after a block, its successor
        // is tried at the next offset by its strong sum alone (60 bits make a mistake there unlikely enough),
        // which spares the weak sum and the lookup.
        if (expected_ < fullBlocks_) {
            const std::size_t block = expected_;
            expected_ = fullBlocks_;
            if (sources_[block] == kBlockNotFound && strong_.Of(window, blockSize_) == index_.strong[block]) {
                Found(block, position_, window);
                continue;
            }
        }
        if (!rollingValid_) {
            rolling_.Start(window);
            rollingValid_ = true;
        }
        // The loop that runs at every offset of an old copy that holds nothing: the roll and one filter bit.
        RollingAdler32 rolling = rolling_;
        const std::uint32_t* const filter = filter_.data();
        const unsigned filterShift = filterShift_;
        const unsigned char* const last = bytes + static_cast<std::size_t>(end - blockSize_ - windowStart_);
        bool found = false;
        for (;;) {
            const std::uint32_t weak = rolling.Value();
            const std::uint32_t bits = FilterBits(weak);
            if ((filter[Mix(weak) >> filterShift] & bits) == bits) {
                if (weak == foundWeak_)
                    window = PastRun(window, last);
                else if (Lookup(weak, window, windowStart_ + static_cast<std::size_t>(window - bytes))) {
                    found = true;
                    break;
                }
            }
            if (window == last)
                break;
            rolling.Roll(window[0], window[blockSize_]);
            ++window;
        }
        if (!found) {
            rolling_ = rolling;
            position_ = windowStart_ + static_cast<std::size_t>(window - bytes);
            break;
        }
    }
}

const unsigned char* BlockMatcher::PastRun(const unsigned char* window, const unsigned char* last) const
{
    const unsigned char value = window[0];
    const auto other = [value](unsigned char c) { return c != value; };
    if (window == last || window[blockSize_] != value)
        return window;
    if (std::find_if(window, window + blockSize_, other) != window + blockSize_)
        return window;
    // Every window up to the one that ends at the run's last byte holds the same bytes, so the same sums.
    return std::find_if(window + blockSize_, last + blockSize_, other) - blockSize_;
}

bool BlockMatcher::Lookup(std::uint32_t weak, const unsigned char* window, std::uint64_t at)
{
    const std::uint32_t bucket = Mix(weak) >> bucketShift_;
    bool strongKnown = false;
    std::uint64_t strong = 0;
    bool missing = false;  // a block of this weak sum is still to be found
    for (std::uint32_t i = bucketStart_[bucket]; i < bucketStart_[bucket + 1]; ++i) {
        const std::uint32_t block = order_[i];
        // Only a block still missing makes a match. Content the old copy holds twice (a file stored twice, a run
        // of zeros) would otherwise keep the scan jumping a block at a time along the first copy's alignment,
        // past every block of the second that lies at another one; and a run of zeros would cost a strong sum
        // at every offset.
        if (index_.weak[block] != weak)
            continue;
        // Blocks of equal sums are found together, so a found one stands for its whole run: 290,000 blocks of
        // zeros (a sparse 4.5 GiB archive) would otherwise be passed one by one at every offset of every zero run.
        if (sources_[block] != kBlockNotFound) {
            i = runEnd_[i];
            continue;
        }
        if (!strongKnown) {
            strong = strong_.Of(window, blockSize_);
            strongKnown = true;
        }
        if (index_.strong[block] == strong) {
            Found(block, at, window);
            return true;
        }
        missing = true;
    }
    if (!missing)
        foundWeak_ = weak;
    return false;
}

void BlockMatcher::Found(std::size_t block, std::uint64_t at, const unsigned char* data)
{
    std::size_t same = block;
    do {
        sources_[same] = at;
        foundBytes_ += blockSize_;
        if (onFound_)
            onFound_(same, data);
        same = sameAs_[same];
    } while (same != block);
    position_ = at + blockSize_;
    rollingValid_ = false;
    expected_ = block + 1;
}

void BlockMatcher::Finish()
{
    const std::size_t last = index_.Blocks() - 1;
    const std::uint32_t tail = index_.Length(last);
    if (last < fullBlocks_ || sources_[last] != kBlockNotFound || window_.size() < tail)
        return;
    const unsigned char* bytes = window_.data() + window_.size() - tail;
    if (Adler32(bytes, tail) == index_.weak[last] && strong_.Of(bytes, tail) == index_.strong[last]) {
        sources_[last] = windowStart_ + window_.size() - tail;
        foundBytes_ += tail;
        if (onFound_)
            onFound_(last, bytes);
    }
}
