#pragma once

#include "base/unique_resource.h"
#include "update/result.h"

#include <windows.h>

#include <string>
#include <string_view>

// The private folder an update downloads into before anything touches the client's files. It belongs to the
// launcher that holds the lock file inside it open: another launcher on the same client folder (another user's,
// whom the single-instance mutex does not see) leaves it alone while its owner runs.

// ".vorn-update-<process id>-<tick count>-<attempt>"
std::wstring StagingDirectoryName(DWORD processId, ULONGLONG tickCount, int attempt);

// Whether a name begins as a staging folder's does, in any letter case: a client path there could reach one.
bool HasStagingPrefix(std::wstring_view name);

// Whether a name is exactly of the form StagingDirectoryName gives: the prefix in its own letter case and three
// decimal numbers of at most 20 digits each, joined by '-'.
bool IsStagingDirectoryName(std::wstring_view name);

// A staging folder and the open handle of its lock file. The lock is shared with nobody and goes when the
// handle closes, also when the process is killed.
struct StagingFolder {
    std::wstring path;
    UniqueFile lock;
};

// The message for a folder of the update that the system would not make, by its error code: a full disk and a
// denied write each say so; anything else is kGeneralFailureMessage.
std::wstring FolderFailureMessage(const std::wstring& folder, DWORD code);

// Creates parent (and what is missing above it), then a new empty staging folder inside it that this process
// holds the lock of; FolderFailureMessage when that is impossible.
vorn::Result<StagingFolder> CreateStagingDirectory(const std::wstring& parent);

// Removes the staging folders that launchers gone since left directly in `parent` (killed during an update, or
// of an older version that kept no lock): folders with a staging name whose lock this process can take, with
// everything in them, once an install pass one of them was killed in is undone (RestoreInterruptedInstall). A running launcher's folder, whoever runs it, stays; so do files and links of that name, and
// whatever a link inside points to. Errors are ignored (what cannot go now goes at a later start).
void RemoveLeftoverStagingDirectories(const std::wstring& parent);

// Removes the staging folder with everything in it when the scope ends, on every path, and lets go of its lock
// last; errors are ignored.
class StagingDirectoryGuard {
public:
    explicit StagingDirectoryGuard(StagingFolder folder) : folder_(std::move(folder)) {}
    StagingDirectoryGuard(const StagingDirectoryGuard&) = delete;
    StagingDirectoryGuard& operator=(const StagingDirectoryGuard&) = delete;
    ~StagingDirectoryGuard();

    const std::wstring& folder() const { return folder_.path; }

private:
    StagingFolder folder_;
};
