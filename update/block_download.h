#pragma once

// A new version of a large file built from the blocks an older copy on the disk already holds plus the bytes it
// lacks, fetched as byte ranges: the file's block index from the site, the old copy read once through the
// matcher, the missing blocks asked for in requests of several ranges each. Whatever goes wrong short of the
// player's cancel only means the file is downloaded whole as before, so nothing here is an error the player
// reads; the caller checks the built file as it checks a downloaded one.

#include "update/block_index_ref.h"
#include "update/fetcher.h"
#include "update/file_download.h"
#include "update/result.h"

#include <cstdint>
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

enum class BlockReuse {
    kBuilt,    // stagedPath holds a file built from the old copy and the fetched ranges, not yet checked
    kNotUsed,  // nothing usable (no index, nothing found, a server that will not send ranges): fetch it whole
};

// Builds job.stagedPath; onProgress hears (bytes reused and fetched, file size). Fails only for a cancel, with
// kCancelledMessage.
vorn::Result<BlockReuse> BuildFromOldCopy(Fetcher& fetcher, const BlockReuseJob& job, DiskRoom& room,
                                          const DownloadProgress& onProgress, const DownloadCancelled& isCancelled);
