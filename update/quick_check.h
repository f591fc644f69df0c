#pragma once

// The check pass with the record of verified files (verified_record.h): a file whose listed stamps say it is the
// state the record remembers is not read; its remembered checksum stands for it. Every other file is read as
// before, and what was read is remembered for the next start.

#include "update/verified_record_file.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

class QuickCheck {
public:
    // root: the client folder as the update works with it (absolute, normal); localPaths: the manifest's entries
    // in its order, all validated. Disabled, every file is read and no record is read or made. With a record the
    // folders are listed here, before the first file; without one they are listed when the record is made.
    QuickCheck(bool enabled, const std::wstring& root, std::wstring launcher, std::vector<std::wstring> localPaths);

    // Whether entry `index`, whose file is `path`, holds the checksum expectedHex: from the record when it may
    // stand for the file (a remembered checksum that differs says out of date), else by reading the whole file.
    bool Matches(std::size_t index, const std::wstring& path, const std::wstring& expectedHex);

    // After every file has been checked and the update has succeeded: the files found current are remembered,
    // written in one move, when a file was read or installed. Nothing is written when the check is disabled.
    void Save(bool installed);

private:
    const std::wstring root_;
    const std::wstring launcher_;
    const std::vector<std::wstring> localPaths_;
    VerifiedFilesAtStart start_;
    std::optional<std::vector<std::optional<FileStamp>>> stamps_;  // per entry, what the listing said of the file
    std::vector<std::optional<std::uint32_t>> current_;  // per entry, the checksum of a file found current
    bool read_ = false;                                   // a file was read in this pass
};

}
