#pragma once

// A new version of a large file built from the blocks an older copy on the disk already holds plus the bytes it
// lacks, fetched as byte ranges: the file's block index from the site, the old copy read once through the
// matcher, which writes each block to its place as it finds it, the missing blocks asked for in requests of
// several ranges each. Whatever goes wrong short of the player's cancel only means the file is downloaded whole as
// before, so nothing here is an error the player reads; the caller checks the built file as it checks a
// downloaded one, with the CRC-32 of the bytes as they were written instead of a read of the file.

#include "update/block_index_ref.h"
#include "update/fetcher.h"
#include "update/file_download.h"
#include "update/result.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// One file to build.
struct BlockReuseJob {
    std::wstring fileUrl;
    std::wstring indexUrl;
    BlockIndexRef ref;                        // the index as the manifest names it
    std::uint32_t crc32 = 0;                  // of the new file, as the manifest gives it
    std::optional<std::uint64_t> signedSize;  // of the new file, as the release record signs it
    std::wstring oldCopy;                     // the file the client holds now
    std::wstring stagedPath;                  // where the new file is built
    TransferLimits limits;                    // the file's own; the site's connections are shared
};

struct BlockReuse {
    // stagedPath holds a file built from the old copy and the fetched ranges, not yet checked; false: nothing
    // usable (no index, nothing found, a server that will not send ranges), so the file is fetched whole.
    bool built = false;
    // The built file's CRC-32 from its bytes as they were written, when they covered it exactly once.
    std::optional<std::uint32_t> crc32;
};

// Builds job.stagedPath; onProgress hears (bytes reused and fetched, file size). Fails only for a cancel, with
// kCancelledMessage.
vorn::Result<BlockReuse> BuildFromOldCopy(Fetcher& fetcher, const BlockReuseJob& job, DiskRoom& room,
                                          const DownloadProgress& onProgress, const DownloadCancelled& isCancelled);

// One out-of-date file of an update.
struct StagedFileJob {
    std::wstring url;
    std::optional<BlockIndexRef> ref;  // its block index, where the manifest names one it can use
    std::wstring indexUrl;
    std::uint32_t crc32 = 0;           // as the manifest gives it
    std::wstring targetPath;           // the client's copy, when there is one
    std::wstring stagedPath;
    std::wstring keptFolder;           // kept_download.h
    TransferLimits limits;
};

// Brings the file into job.stagedPath: built through its index from the client's copy, or else from what an
// earlier attempt kept of it, when `isGood` (the update's check of a staged file, told the CRC-32 of the bytes
// written when it is known) accepts the result; otherwise
// downloaded whole through the kept folder (DownloadKeepingCut), continuing what an earlier attempt left there.
// True: built and accepted; false: downloaded whole, not yet checked. The failure of the download, or a cancel.
vorn::Result<bool> FetchIntoStaging(Fetcher& fetcher, const StagedFileJob& job, DiskRoom& room,
                                    const DownloadProgress& onProgress, const DownloadCancelled& isCancelled,
                                    const std::function<bool(const std::optional<std::uint32_t>&)>& isGood);
