#pragma once

#include "update/result.h"

#include <cstdint>
#include <string>
#include <vector>

// One file the update site supplies, as the manifest lists it, after validation.
struct ManifestEntry {
    std::wstring remotePath;  // under the update base URL, backslashes, no leading separator
    std::wstring localPath;   // under the client root, normalised the same way; unique ignoring case
    std::wstring crc32Hex;    // expected checksum, eight upper-case hexadecimal digits
};

// Reads the update manifest ("Set"/"Count" and "up"/"File<n>", "CFile<n>", "XYZ<n>" for n = 1..Count) and checks
// every entry: safe paths, valid checksums, no local path twice (ignoring case) and none inside another (a file
// "a" and an entry "a\b": the later of the two is the entry the failure names).
vorn::Result<std::vector<ManifestEntry>> ParseManifest(const std::wstring& manifestPath);

// The message that refuses entry n (counted from 1) of the manifest.
std::wstring EntryMessage(std::size_t n);

// One lookup through the system's profile reader, trimmed; missing file, section or key give "". Each call reads
// the file again, so this is for single values; ParseManifest reads the whole file once instead.
std::wstring ReadIniString(const std::wstring& iniPath, const std::wstring& section, const std::wstring& key);

// A manifest checksum: "0x" and hexadecimal, exactly eight hexadecimal digits, or else decimal; up to 0xFFFFFFFF.
// Surrounding white space and letter case do not matter. Never throws.
bool ParseCrc32Text(const std::wstring& text, std::uint32_t& value);
