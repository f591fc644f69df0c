#pragma once

// The decisions of a signed update, as plain functions: whether a fetched release may be installed at all, which
// signed file each manifest entry is, and whether a downloaded file is that file. Each refusal comes with the
// message for the player; nothing may be installed after one.

#include "update/cng.h"
#include "update/manifest.h"
#include "update/release_record.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Checks in this order: the launcher's key (`publicKeyText`, its compiled-in setting, not empty), that a record
// came (`recordBytes` empty: the site has none), the record's form, its signature, that `manifestBytes` are the
// signed ones, and that the release is not lower than `lastInstalledRelease` (0: none installed yet; the same
// release again is fine). On success `record` holds the record; on failure it is untouched and `error` holds
// the message. `error` is cleared on entry.
bool MayInstallRelease(std::wstring_view publicKeyText, std::string_view recordBytes, std::string_view manifestBytes,
                       std::uint64_t lastInstalledRelease, ReleaseRecord& record, std::wstring& error);

// The record's file for each manifest entry, in the entries' order, matched by site path; refuses when an entry
// has none. The pointers point into `record`. The record's size bounds the entry's download.
bool MatchReleaseFiles(const ReleaseRecord& record, const std::vector<ManifestEntry>& entries,
                       std::vector<const ReleaseFile*>& files, std::wstring& error);

// Whether a downloaded file (its size and SHA-256) is the one the record signed; `error` names it when not.
bool IsSignedReleaseFile(const ReleaseFile& expected, std::uint64_t size, const Sha256Digest& sha256,
                         std::wstring& error);
