#include "update/written_crc.h"

#include "update/crc32_compute.h"

#include <iterator>

WrittenCrc::WrittenCrc(std::uint64_t fileSize) : fileSize_(fileSize) {}

void WrittenCrc::Add(std::uint64_t offset, const void* data, std::size_t size)
{
    if (size == 0)
        return;
    // The bytes are summed before the lock: the threads writing ranges only queue for the joining.
    const std::uint32_t crc = Crc32(0, data, size);
    const std::uint64_t end = offset + size;
    const std::lock_guard<std::mutex> held(lock_);
    auto next = pieces_.lower_bound(offset);
    const auto previous = next == pieces_.begin() ? pieces_.end() : std::prev(next);
    if (end > fileSize_ || end < offset || (next != pieces_.end() && next->first < end) ||
        (previous != pieces_.end() && previous->second.end > offset)) {
        overlapped_ = true;
        return;
    }
    auto piece = previous;
    if (piece != pieces_.end() && piece->second.end == offset) {
        piece->second.crc32 = Crc32Combine(piece->second.crc32, crc, size);
        piece->second.end = end;
    } else {
        piece = pieces_.emplace_hint(next, offset, Piece{end, crc});
    }
    if (next != pieces_.end() && next->first == end) {
        piece->second.crc32 = Crc32Combine(piece->second.crc32, next->second.crc32, next->second.end - next->first);
        piece->second.end = next->second.end;
        pieces_.erase(next);
    }
}

std::optional<std::uint32_t> WrittenCrc::Whole() const
{
    const std::lock_guard<std::mutex> held(lock_);
    if (overlapped_ || pieces_.size() != 1 || pieces_.begin()->first != 0 || pieces_.begin()->second.end != fileSize_)
        return std::nullopt;
    return pieces_.begin()->second.crc32;
}
