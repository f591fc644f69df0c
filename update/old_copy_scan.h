#pragma once

// The old copy of a file read once through the block matcher, so an update can take the blocks it already has.

#include "update/block_matcher.h"
#include "update/fetcher.h"

#include <string>

enum class OldCopyScan {
    kDone,        // the whole file went through the matcher, which is finished
    kUnreadable,  // it could not be opened or a read failed: nothing found in it may be used
    kCancelled,
};

// Feeds the file at path to matcher piece by piece and finishes it, asking isCancelled (may be empty) before
// every piece.
OldCopyScan ScanOldCopy(const std::wstring& path, BlockMatcher& matcher, const DownloadCancelled& isCancelled);
