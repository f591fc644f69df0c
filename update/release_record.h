#pragma once

// The release record an operator's signing tool (tools/sign_release.py) publishes beside the manifest as
// "<manifest>.sig". UTF-8, every line ending in a line feed, fields separated by one space:
//   vorn-release-record 1
//   release <number>
//   manifest <size> <sha256>
//   file 0 <64 zeros> vorn:signed <seconds since 1970-01-01 UTC> valid <seconds>
//   file <size> <sha256> <site path>      one line per distinct site path
//   signature <r || s>
// Numbers are decimal without leading zeros, digests and the signature lower-case hexadecimal; the release is at
// least 1. The site path is the manifest's File<n> value with forward slashes and no leading separator. The
// signature is ECDSA P-256 over SHA-256 of every byte before the "signature" line.
//
// The time of signing and how long the record holds ride in a "file" line whose site path begins with "vorn:": a
// manifest path never holds a colon, so no entry can match it, and launchers that read only the lines above take
// it for a file nobody asks for and accept the record. Other "vorn:" lines are likewise fields of later tools,
// and are not files.

#include "update/cng.h"
#include "update/result.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A full client lists a few thousand files; the caps leave room for far larger ones and still bound what one
// record may cost to download, hold and search.
inline constexpr std::size_t kMaxReleaseRecordFiles = 100000;  // as many files as a manifest may list
inline constexpr std::size_t kMaxReleaseSitePathBytes = 2048;  // far past the 260-character paths of a client
                                                               // folder, well inside a server's request line
inline constexpr std::size_t kMaxReleaseRecordBytes = 16u << 20;  // the file cap at about 85-byte site paths

struct ReleaseFile {
    std::wstring sitePath;  // as written: forward slashes
    std::uint64_t size = 0;
    Sha256Digest sha256{};
};

// When a record was signed and for how long it may be installed from then on.
struct ReleaseFreshness {
    std::uint64_t signedAt = 0;  // seconds since 1970-01-01 UTC
    std::uint64_t validFor = 0;  // seconds
};

struct ReleaseRecord {
    std::uint64_t release = 0;
    std::optional<ReleaseFreshness> freshness;  // none: a record of a tool that did not write one
    std::uint64_t manifestSize = 0;
    Sha256Digest manifestSha256{};
    std::vector<ReleaseFile> files;  // in record order, site paths distinct; no "vorn:" fields
    std::size_t signedLength = 0;    // the signature covers bytes [0, signedLength) of the record
    EcdsaP256Signature signature{};
};

// Reads a record strictly: anything but the form above, a repeated site path or "vorn:signed" line, or more than
// the caps allow (the "vorn:" lines count as files) is refused with the message for the player. Checks no
// signature: see VerifyReleaseSignature.
vorn::Result<ReleaseRecord> ParseReleaseRecord(std::string_view bytes);

// Whether the record's signature over its signed bytes holds for the key. `bytes` is what ParseReleaseRecord read.
bool VerifyReleaseSignature(std::string_view bytes, const ReleaseRecord& record, const EcdsaP256PublicKey& key);

// A release number as the record writes it: decimal, no leading zero, at most 2^63 - 1 (0 passes).
bool ParseReleaseNumber(std::string_view text, std::uint64_t& value);

// The public key in the launcher's setting: 130 hexadecimal digits of the uncompressed point, starting "04"
// (either letter case). Nothing for any other text.
std::optional<EcdsaP256PublicKey> ParseUpdatePublicKey(std::wstring_view text);
