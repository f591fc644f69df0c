#include "update/old_copy_scan.h"

#include "base/unique_resource.h"

#include <windows.h>

#include <vector>

namespace {

// A piece takes a few milliseconds to match even on a slow disk, so a cancel between pieces is seen at once; it
// is large enough that the calls into the system cost nothing beside the matching.
constexpr DWORD kPieceBytes = 1u << 20;

}

OldCopyScan ScanOldCopy(const std::wstring& path, BlockMatcher& matcher, const DownloadCancelled& isCancelled)
{
    // The game may hold its file open while the launcher reads it; whatever it writes meanwhile only makes blocks
    // look changed, and the check of the whole new file decides in the end.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return OldCopyScan::kUnreadable;
    std::vector<unsigned char> piece(kPieceBytes);
    for (;;) {
        if (isCancelled && isCancelled())
            return OldCopyScan::kCancelled;
        DWORD read = 0;
        if (!ReadFile(file.get(), piece.data(), kPieceBytes, &read, nullptr))
            return OldCopyScan::kUnreadable;
        if (read == 0)
            break;
        matcher.Feed(piece.data(), read);
    }
    matcher.Finish();
    return OldCopyScan::kDone;
}
