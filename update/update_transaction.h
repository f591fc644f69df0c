#pragma once

#include "base/config.h"
#include "update/fetcher.h"
#include "update/update_types.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace vorn {

using UpdateStatusCallback = std::function<void(const std::wstring&)>;
using UpdatePercentCallback = std::function<void(int)>;
using UpdateCancelQuery = std::function<bool()>;
using UpdateProgressCallback = std::function<void(const UpdateProgress&)>;

// Brings the client files under clientRoot up to date with the update site in one blocking call: the manifest
// and every changed file are downloaded into a staging folder and verified by CRC-32 before any client file is
// replaced, and then replaced all or nothing (InstallPass); the launcher's own executable, recognised as a file
// however the manifest spells it, is installed beside it as "<launcherPath>.new". Every callback may be empty and
// runs on the calling thread. Downloads are bounded (fetcher.h, file_download.h): a server that is too slow, a
// body past its cap, or a file that would take the disk's free space below its reserve ends the call with a
// message, and the staging folder goes with it. The changed files are downloaded the configured number at a time
// (one after another in the manifest's order for 1), fewer once the site refuses some of them as busy (503, 429:
// site_connections.h), each by a thread of its own, from the moment the check pass finds them out of date while it
// checks the later files;
// once every file is checked the calling thread reports each download as it starts and as it is verified, and
// writes the verified files to the disk. The first failure stops the other downloads and is the one reported. With an update public key (the launcher's
// setting), the site's release record must sign the manifest and every downloaded file, must not have expired,
// and its release must not be below the last one installed in the folder nor below minimumRelease
// (signed_update.h); empty: no signature. A file whose length the site does not announce may bring
// maxUnknownLength bytes (the launcher's setting) and no more.
UpdateResult ApplyClientUpdate(const std::wstring& baseUrl, const std::wstring& manifestName,
                               const std::wstring& clientRoot, const std::wstring& launcherPath,
                               UpdateStatusCallback onStatus, UpdatePercentCallback onPercent,
                               UpdateCancelQuery isCancelled, UpdateProgressCallback onProgress,
                               std::wstring_view updatePublicKey = {}, std::uint64_t minimumRelease = 0,
                               std::uint64_t maxUnknownLength = kDefaultMaxUnknownLength);

// The same with every download made through fetcher (the one above uses WinHTTP), `connections` files at a time;
// the fetcher must allow fetches from several threads at once when that is above 1.
UpdateResult ApplyClientUpdate(Fetcher& fetcher, const std::wstring& baseUrl, const std::wstring& manifestName,
                               const std::wstring& clientRoot, const std::wstring& launcherPath,
                               UpdateStatusCallback onStatus, UpdatePercentCallback onPercent,
                               UpdateCancelQuery isCancelled, UpdateProgressCallback onProgress,
                               std::uint32_t connections = Config().downloadConnections,
                               std::wstring_view updatePublicKey = {}, std::uint64_t minimumRelease = 0,
                               std::uint64_t maxUnknownLength = kDefaultMaxUnknownLength);

// One file that differs from the manifest and is downloaded into the staging folder.
struct PendingFile {
    std::wstring stagedPath;    // staging folder + decimal entry index
    std::wstring targetPath;    // the client file under the root
    bool isLauncher = false;    // the running launcher's own executable
    std::uint32_t entryIndex = 0;
};

// Hands one report to onPercent (the overall percent) and then to onProgress (the whole record).
void ReportProgress(const UpdatePercentCallback& onPercent, const UpdateProgressCallback& onProgress,
                    std::int32_t stage, std::uint32_t current, std::uint32_t total, std::int32_t filePercent,
                    std::int32_t overallPercent, const std::wstring& file);

// The absolute form of a path as the system gives it, without "." or ".." and with single backslashes.
// Throws std::runtime_error when the system cannot make it absolute.
std::wstring AbsoluteNormalPath(const std::wstring& path);

// The components of target after those of root, worked out on the text alone.
std::wstring RelativeToRoot(const std::wstring& target, const std::wstring& root);

}
