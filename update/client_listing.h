#pragma once

// What the file system says of the client's files without opening any of them: one directory listing per folder
// (GetFileInformationByHandleEx with FileIdBothDirectoryInfo gives size, times and file id of every entry), the
// identity of the client folder and the folder's own clock. The record of verified files (verified_record.h)
// decides from these what it may trust.

#include "update/verified_record.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The stamps of the files at localPaths (relative to root, backslashes, as the manifest spells them), in the same
// order, from one listing of each folder that holds any of them. None for a path whose file is missing, is a
// folder or a link, shares its name with another entry of its folder but for letter case, or lies in a folder
// that cannot be listed to its end. The paths are those the update has validated (no link on the way).
std::vector<std::optional<FileStamp>> ListClientFiles(const std::wstring& root,
                                                      const std::vector<std::wstring>& localPaths);

// The identity a record of this client folder is bound to (root as the update works with it: absolute, normal).
// None when the folder cannot be opened or lies on a volume whose listings cannot be trusted: only NTFS is known
// to keep in every listing a change time that moves at each write and a file id that stays with the file.
std::optional<FolderIdentity> IdentifyClientFolder(const std::wstring& root);

// The probe file FolderClockNow makes for a moment: this prefix, the process id, "-", the thread id.
inline constexpr wchar_t kFolderClockPrefix[] = L".vorn-clock-";

// The folder's own clock now: the time its file system gives a file made there at this moment. Files are stamped
// by that same clock, wherever the file system keeps it (a file server, say). None when no file can be made there.
std::optional<std::int64_t> FolderClockNow(const std::wstring& folder);
