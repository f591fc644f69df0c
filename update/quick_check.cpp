#include "update/quick_check.h"

#include "update/client_listing.h"
#include "update/crc32.h"

#include <utility>

namespace vorn {

QuickCheck::QuickCheck(bool enabled, const std::wstring& root, std::wstring launcher,
                       std::vector<std::wstring> localPaths)
    : root_(root), launcher_(std::move(launcher)), localPaths_(std::move(localPaths)), current_(localPaths_.size())
{
    if (!enabled)
        return;
    // The moment is taken before any file is read: whatever is written after it is too new to trust at the next
    // start, so a stamp may be taken before or after its file's read. Without a record every file is read and
    // the folders are listed after the reads, when the record is made: beside the reads a listing slows them
    // by more than it costs alone.
    start_ = LoadVerifiedFiles(root_, launcher_);
    if (start_.folder && start_.remembered.Count() > 0)
        stamps_ = ListClientFiles(root_, localPaths_);
}

bool QuickCheck::Matches(std::size_t index, const std::wstring& path, const std::wstring& expectedHex)
{
    const std::optional<std::uint32_t> trusted =
        stamps_ ? start_.remembered.TrustedCrc(localPaths_[index], (*stamps_)[index]) : std::nullopt;
    if (trusted) {
        const bool matches = FormatCrc32(*trusted) == expectedHex;
        if (matches)
            current_[index] = *trusted;
        return matches;
    }
    // A file counts as current only when it could be read to its end and its checksum text matches exactly.
    const Result<std::uint32_t> crc = FileCrc32(path);
    read_ = true;
    const bool matches = crc && FormatCrc32(*crc) == expectedHex;
    if (matches)
        current_[index] = *crc;
    return matches;
}

void QuickCheck::Save(bool installed)
{
    if (!start_.folder || !(read_ || installed))
        return;
    if (!stamps_)
        stamps_ = ListClientFiles(root_, localPaths_);
    // Only files found current are remembered: a file found out of date has just been replaced, and an installed
    // file is newer than this pass's moment, so the next start reads it once either way.
    VerifiedRecord record{launcher_, *start_.folder, start_.moment, {}};
    for (std::size_t i = 0; i < localPaths_.size(); ++i) {
        if (current_[i] && (*stamps_)[i])
            record.files.push_back({localPaths_[i], *(*stamps_)[i], *current_[i]});
    }
    SaveVerifiedFiles(root_, record);
}

}
