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

// What a release is held against besides the key.
struct ReleaseBounds {
    std::uint64_t lastInstalled = 0;   // the release last installed in the client folder; 0: none yet
    std::uint64_t minimumRelease = 0;  // the lowest release the launcher was built to accept; 0: any
    std::uint64_t now = 0;             // the player's clock, seconds since 1970-01-01 UTC
};

// What a release that is not refused is: admitted, or a good record of other manifest bytes (a publish may have
// fallen between the two downloads), which fails with kManifestMismatchMessage once no new pair is asked for.
enum class ReleaseVerdict {
    kAdmitted,
    kManifestMismatch,
};

inline constexpr wchar_t kManifestMismatchMessage[] = L"更新清单与签名不符，已拒绝安装。";

// Checks in this order: the launcher's key (`publicKeyText`, its compiled-in setting, not empty), that a record
// came (`recordBytes` empty: the site has none), the record's form, its signature, that `manifestBytes` are the
// signed ones, that the release is not lower than the last one installed or the launcher's minimum (the same
// release again is fine), and that the record says when it was signed and has not expired by `bounds.now`. A
// record signed later than the player's clock says is taken: only a player's wrong clock makes one. On
// kAdmitted `record` holds the record; otherwise it is untouched. A refusal fails with its message.
vorn::Result<ReleaseVerdict> MayInstallRelease(std::wstring_view publicKeyText, std::string_view recordBytes,
                                               std::string_view manifestBytes, const ReleaseBounds& bounds,
                                               ReleaseRecord& record);

// The record's file for each manifest entry, in the entries' order, matched by site path; refuses when an entry
// has none. The pointers point into `record`. The record's size bounds the entry's download.
vorn::Result<std::vector<const ReleaseFile*>> MatchReleaseFiles(const ReleaseRecord& record,
                                                                const std::vector<ManifestEntry>& entries);

// Whether a downloaded file (its size and SHA-256) is the one the record signed; the failure names it when not.
vorn::Status IsSignedReleaseFile(const ReleaseFile& expected, std::uint64_t size, const Sha256Digest& sha256);
