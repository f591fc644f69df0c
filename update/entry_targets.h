#pragma once

// Where the manifest's entries land in the client folder, and which of them would reach the launcher's own
// files there. Every local path is resolved before any client file is looked at, so a link under the root
// stops the update before anything is downloaded.

#include "update/manifest.h"
#include "update/result.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace vorn {

// Which file a path names, whatever its spelling (letter case, 8.3 alias): the volume and the file's index on it.
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The identity of an existing file or folder; none when it does not exist or cannot be opened. A link is not
// followed: the update refuses links under the root anyway.
std::optional<FileIdentity> IdentityOf(const std::wstring& path);

// Two paths that name the same file: equal text ignoring case, or, for a file that exists, the same identity.
bool SameFile(const std::wstring& path, const std::wstring& other, const std::optional<FileIdentity>& otherIdentity);

// The launcher's own places in the client folder that no entry may reach.
struct LauncherPlaces {
    std::wstring launcherNew;  // the new launcher's ".new" file (the self-update would start it)
    std::wstring staging;      // this update's staging folder (it holds the downloads being verified)
    std::wstring kept;         // the folder of kept downloads
};

// Entry i's full path under the root, for every entry; the failure names the first entry that is refused.
Result<std::vector<std::wstring>> ResolveEntryTargets(const std::wstring& root,
                                                      const std::vector<ManifestEntry>& entries,
                                                      const LauncherPlaces& places);

}
