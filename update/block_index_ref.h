#pragma once

// Where the manifest says a file's block index lies: for entry n, the value of "Index<n>" in its "Blocks"
// section, "<size> <SHA-256> <site path>" (tools/block_index.py writes it). Launchers built before block indexes
// read neither that section nor the files it names. The SHA-256 binds the index to the manifest, so a signed
// manifest signs every index with it.

#include "update/ini_file.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct BlockIndexRef {
    std::uint64_t size = 0;              // the index file's, at most kMaxBlockIndexBytes
    std::array<std::uint8_t, 32> sha256{};
    std::wstring sitePath;               // under the update base URL, normalised as the manifest's paths are
};

// One value; none for anything but the form above with a safe site path. An entry without a usable index is
// simply downloaded whole, so a malformed value is no error.
std::optional<BlockIndexRef> ParseBlockIndexRef(std::wstring_view value);

// The index of each entry n = 1..count (at position n - 1), where the manifest lists a usable one.
std::vector<std::optional<BlockIndexRef>> ReadBlockIndexRefs(const IniFile& manifest, std::size_t count);
