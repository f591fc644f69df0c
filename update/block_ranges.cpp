#include "update/block_ranges.h"

#include "update/block_matcher.h"

std::vector<ByteRange> MissingRanges(const BlockIndex& index, const std::vector<std::uint64_t>& sources,
                                     std::uint64_t maxBytes)
{
    std::vector<ByteRange> runs;
    for (std::size_t block = 0; block < index.Blocks(); ++block) {
        if (sources[block] != kBlockNotFound)
            continue;
        const std::uint64_t first = index.Offset(block);
        const std::uint64_t last = first + index.Length(block) - 1;
        if (!runs.empty() && runs.back().last + 1 == first)
            runs.back().last = last;
        else
            runs.push_back({first, last});
    }
    std::vector<ByteRange> ranges;
    ranges.reserve(runs.size());
    for (ByteRange run : runs) {
        for (; run.Size() > maxBytes; run.first += maxBytes)
            ranges.push_back({run.first, run.first + maxBytes - 1});
        ranges.push_back(run);
    }
    return ranges;
}

std::vector<std::vector<ByteRange>> GroupRanges(const std::vector<ByteRange>& ranges, const RangeRequestLimits& limits)
{
    std::vector<std::vector<ByteRange>> requests;
    std::uint64_t bytes = 0;
    for (const ByteRange& range : ranges) {
        if (requests.empty() || requests.back().size() >= limits.maxRanges || bytes + range.Size() > limits.maxBytes) {
            requests.emplace_back();
            bytes = 0;
        }
        requests.back().push_back(range);
        bytes += range.Size();
    }
    return requests;
}

std::string RangeHeaderValue(const std::vector<ByteRange>& ranges)
{
    std::string value = "bytes=";
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (i > 0)
            value += ',';
        value += std::to_string(ranges[i].first) + '-' + std::to_string(ranges[i].last);
    }
    return value;
}
