#pragma once

// The record of verified files: for each client file whose CRC-32 was computed, what identified that state of the
// file on the disk and the checksum found. A later check trusts a remembered checksum only while one directory
// listing says the file is still that state (update/client_listing.h gives the listing, update/
// verified_record_file.h keeps the record in the client folder). Plain values and functions, no I/O.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// What a directory listing says of one file. Every value moves when the bytes may have changed: a write moves
// the size or the last-write time and always the change time; a write whose last-write time is set back again
// still moves the change time; a rename, a copy or a replacement gives another file id or change time.
struct FileStamp {
    std::uint64_t size = 0;
    std::int64_t written = 0;  // last-write time, 100 ns units since 1601 (a FILETIME)
    std::int64_t changed = 0;  // change time, same units
    std::uint64_t fileId = 0;  // the file's number on its volume
    bool operator==(const FileStamp&) const = default;
};

// The client folder a record belongs to: its path, the volume and the folder's own number on it, so that a
// record copied along with the folder, or a folder put in the place of another, finds a stranger.
struct FolderIdentity {
    std::wstring path;  // absolute; compared ignoring letter case
    std::uint32_t volumeSerial = 0;
    std::uint64_t folderId = 0;
};

struct VerifiedFile {
    std::wstring localPath;  // relative to the client folder, as the manifest spells it
    FileStamp stamp;         // as listed before the file was read
    std::uint32_t crc32 = 0;
};

struct VerifiedRecord {
    std::wstring launcher;  // the launcher version that made the record
    FolderIdentity folder;
    // The folder's own clock before the first file of the pass that made the record was read; every checksum
    // in the record was computed from a read that began later.
    std::int64_t moment = 0;
    std::vector<VerifiedFile> files;
};

// A client of 100,000 files with paths of 100 characters comes to about 17 MiB; 20,000 files, to 3 MiB. A record
// that would be larger is not written and one that is larger is not read.
inline constexpr std::size_t kMaxVerifiedRecordBytes = 24u << 20;

// A file whose last-write or change time lies less than this before the record's moment is read again.
inline constexpr std::int64_t kRacyMargin = 2 * 10'000'000;  // two seconds in 100 ns units

// The record as bytes: UTF-8 lines, its format version first and its own CRC-32 last. None when it would pass
// kMaxVerifiedRecordBytes or a text in it is not one line of valid UTF-16.
std::optional<std::string> SerializeVerifiedRecord(const VerifiedRecord& record);

// The record the bytes hold when they are whole and belong here: this format version, an intact checksum, the
// given launcher version and folder, a moment not later than now (a clock that went back makes every time
// doubtful) and no path twice. None otherwise: a record is used whole or not at all.
std::optional<VerifiedRecord> ParseVerifiedRecord(std::string_view bytes, std::wstring_view launcher,
                                                  const FolderIdentity& folder, std::int64_t now);

// Whether the remembered checksum may stand for the file as it is listed now without reading it: every value of
// the stamp is unchanged, the file system keeps a change time and a file id, and neither time lies within
// kRacyMargin of the record's moment (a write in the same tick as the read would leave both times as they were).
bool MayTrust(const VerifiedFile& remembered, const FileStamp& listed, std::int64_t recordMoment);

// A record looked up by local path, ignoring letter case. An empty one trusts nothing.
class VerifiedFiles {
public:
    VerifiedFiles() = default;
    explicit VerifiedFiles(VerifiedRecord record);

    // The checksum remembered for localPath when MayTrust allows it for the stamp listed now; none when the file
    // must be read (not remembered, not listed, or changed).
    std::optional<std::uint32_t> TrustedCrc(std::wstring_view localPath, const std::optional<FileStamp>& listed) const;

    // How many files the record remembers.
    std::size_t Count() const { return record_.files.size(); }

private:
    VerifiedRecord record_;
    std::unordered_map<std::wstring, std::size_t> byPath_;  // upper-cased local path -> index into record_.files
};
