#pragma once

#include "update/fetcher.h"
#include "update/result.h"
#include "update/update_types.h"

#include <cstdint>
#include <string>

namespace vorn {

// Brings the client files under request.clientFolder up to date with the update site in one blocking call: the
// manifest and every changed file are downloaded into a staging folder and verified by CRC-32 before any client
// file is replaced, and then replaced all or nothing (InstallPass); the launcher's own executable, recognised as a
// file however the manifest spells it, is installed beside it as "<launcherPath>.new". The observer hears of every
// step on the calling thread. Downloads are bounded (fetcher.h, file_download.h): a server that is too slow, a
// body past its cap, or a file that would take the disk's free space below its reserve ends the call with a
// message, and the staging folder goes with it. The changed files are downloaded request.connections at a time
// (one after another in the manifest's order for 1), fewer once the site refuses some of them as busy (503, 429:
// site_connections.h), each by a thread of its own, from the moment the check pass finds them out of date while it
// checks the later files; once every file is checked the calling thread reports each download as it starts and as
// it is verified, and writes the verified files to the disk. The first failure stops the other downloads and is
// the one reported. With a public key the site's release record must sign the manifest and every downloaded file,
// must not have expired, and its release must not be below the last one installed in the folder nor below
// request.minimumRelease (signed_update.h). A file whose length the site does not announce may bring
// request.maxUnknownLength bytes and no more.
UpdateResult ApplyClientUpdate(const UpdateRequest& request, UpdateObserver& observer);

// The same with every download made through fetcher (the one above uses WinHTTP); the fetcher must allow fetches
// from several threads at once when request.connections is above 1.
UpdateResult ApplyClientUpdate(const UpdateRequest& request, UpdateObserver& observer, Fetcher& fetcher);

// One file that differs from the manifest and is downloaded into the staging folder.
struct PendingFile {
    std::wstring stagedPath;    // staging folder + decimal entry index
    std::wstring targetPath;    // the client file under the root
    bool isLauncher = false;    // the running launcher's own executable
    std::uint32_t entryIndex = 0;
};

// The absolute form of a path as the system gives it, without "." or ".." and with single backslashes; fails
// when the system cannot make it absolute.
Result<std::wstring> AbsoluteNormalPath(const std::wstring& path);

// The components of target after those of root, worked out on the text alone.
std::wstring RelativeToRoot(const std::wstring& target, const std::wstring& root);

}
