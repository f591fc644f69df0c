#include "update/quick_check.h"

#include "update/client_listing.h"
#include "update/crc32.h"

#include <exception>
#include <system_error>
#include <utility>

namespace vorn {

QuickCheck::QuickCheck(bool enabled, const std::wstring& root, std::wstring launcher,
                       std::vector<std::wstring> localPaths)
    : enabled_(enabled), root_(root), launcher_(std::move(launcher)), localPaths_(std::move(localPaths)),
      current_(localPaths_.size())
{
    if (!enabled_)
        return;
    // The moment is taken before any file is read: whatever is written after it is too new to trust at the next
    // start, so the listing may come before or after the reads.
    start_ = LoadVerifiedFiles(root_, launcher_);
    if (!start_.folder)
        return;
    if (start_.remembered.Count() > 0) {
        List();
        trusting_ = true;
        return;
    }
    // Nothing is trusted without a record, so nothing waits for the listing: it overlaps the reads, and the first
    // start costs little more than a start without the record. A thread that cannot start leaves the listing to
    // Save.
    try {
        lister_ = std::thread([this] { List(); });
    } catch (const std::system_error&) {
    }
}

QuickCheck::~QuickCheck()
{
    if (lister_.joinable())
        lister_.join();
}

void QuickCheck::List()
{
    // The listing's edge: a listing that runs out of memory leaves every file unlisted, so none is remembered.
    try {
        stamps_ = ListClientFiles(root_, localPaths_);
    } catch (const std::exception&) {
        stamps_.clear();
    }
    listed_ = true;
}

bool QuickCheck::Matches(std::size_t index, const std::wstring& path, const std::wstring& expectedHex)
{
    if (trusting_ && !stamps_.empty()) {
        if (const std::optional<std::uint32_t> trusted = start_.remembered.TrustedCrc(localPaths_[index], stamps_[index])) {
            const bool matches = FormatCrc32(*trusted) == expectedHex;
            if (matches)
                current_[index] = *trusted;
            return matches;
        }
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
    if (lister_.joinable())
        lister_.join();
    if (!listed_)
        List();
    if (stamps_.empty())
        return;
    // Only files found current are remembered: a file found out of date has just been replaced, and an installed
    // file is newer than this pass's moment, so the next start reads it once either way.
    VerifiedRecord record{launcher_, *start_.folder, start_.moment, {}};
    for (std::size_t i = 0; i < localPaths_.size(); ++i) {
        if (current_[i] && stamps_[i])
            record.files.push_back({localPaths_[i], *stamps_[i], *current_[i]});
    }
    SaveVerifiedFiles(root_, record);
}

}
