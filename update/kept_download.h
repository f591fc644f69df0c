#pragma once

// What cut downloads fetched, kept in the client folder between attempts and starts so that the next attempt
// continues them rather than fetching them whole again: a player on a slow line whose download of a large
// archive broke at 80% (the line, a closed launcher, a killed process, a reboot) loses minutes, not hours. Each
// kept file sits beside its record (the body's length and validator, HeldRecordPath) in one folder that no
// manifest entry may reach (IsKeptFolderName); start-up and every update prune it, and an update leaves no empty
// one behind.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Older kept bytes are dropped: a release some weeks old has most likely been replaced on the site anyway.
inline constexpr std::chrono::hours kKeptMaxAge{24 * 14};
// The most the kept files may take together, oldest dropped first: the largest archive a client holds (a few
// GiB) with room to spare, within what a disk that holds the client can give up.
inline constexpr std::uint64_t kKeptCapBytes = 8ull << 30;

// The folder of the kept downloads of the client folder `root`.
std::wstring KeptFolder(const std::wstring& root);
// Whether a top-level name under the client folder is the kept folder's, in any letter case.
bool IsKeptFolderName(std::wstring_view name);

// Where the download of `url` is kept in `folder`: one name per address.
std::wstring KeptPath(const std::wstring& folder, const std::wstring& url);

// The record of a kept file: "<length> <validator>" in UTF-8.
std::wstring HeldRecordPath(const std::wstring& keptPath);

struct HeldRecord {
    std::uint64_t length = 0;
    std::wstring validator;
};

// A record's text; none for anything but a length and a validator without control characters.
std::optional<HeldRecord> ParseHeldRecord(std::string_view text);
std::string FormatHeldRecord(const HeldRecord& record);

// Removes a kept file and its record; errors are ignored.
void RemoveKept(const std::wstring& keptPath);

// A kept file as the folder lists it.
struct KeptFile {
    std::wstring name;
    std::uint64_t size = 0;
    std::uint64_t written = 0;  // its last write, in FILETIME's 100 ns units
};

// The kept files to drop at `now` (FILETIME's units): every one older than kKeptMaxAge, then the oldest until the
// rest are within kKeptCapBytes.
std::vector<std::wstring> KeptToDrop(std::vector<KeptFile> files, std::uint64_t now);

// Drops what KeptToDrop names, and records without their file. Errors are ignored (what cannot go now goes at a
// later start).
void PruneKeptDownloads(const std::wstring& root);
