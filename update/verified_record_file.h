#pragma once

// The record of verified files kept in the client folder, beside the files it describes: it lives and dies with
// them, and a folder copied elsewhere carries a record that its new place does not accept.

#include "update/verified_record.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr wchar_t kVerifiedRecordFileName[] = L".vorn-verified";

// What a check pass starts from, taken before it reads any file.
struct VerifiedFilesAtStart {
    // None: no record is used or made in this folder (its volume's listings cannot be trusted, or no file can be
    // made in it); every file is read.
    std::optional<FolderIdentity> folder;
    std::int64_t moment = 0;   // the folder's clock now: the moment of the record this pass makes
    VerifiedFiles remembered;  // the record found when it is whole and belongs here, else an empty one
};

// root is the client folder as the update works with it (absolute, normal); launcher the running version. A
// record that is missing, larger than kMaxVerifiedRecordBytes (not read then), damaged, cut short, from another
// folder, another launcher version or a later moment of the clock is ignored whole.
VerifiedFilesAtStart LoadVerifiedFiles(const std::wstring& root, std::wstring_view launcher);

// Replaces the record in one move. False when it cannot be written or would pass its cap; the old record then
// stays, and what it remembers still holds only while the files' stamps do.
bool SaveVerifiedFiles(const std::wstring& root, const VerifiedRecord& record);
