#pragma once

// The signed side of one update transaction: the release record fetched beside the manifest, the checks on the
// manifest and on every downloaded file, and the release number kept after the install. With no key (the
// launcher's setting left empty) every step passes and nothing is fetched, read or written.

#include "update/cng.h"
#include "update/fetcher.h"
#include "update/manifest.h"
#include "update/release_check.h"
#include "update/release_record.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// What one read of a downloaded file found: its CRC-32 always, its size and SHA-256 when asked for.
struct StagedFileSums {
    bool read = false;  // the file was read to its end, or its CRC-32 is known from the bytes written into it
    std::uint32_t crc32 = 0;
    std::uint64_t size = 0;
    std::optional<Sha256Digest> sha256;  // none also when the system could not hash it
};

class SignedUpdate {
public:
    // `minimumRelease` is the lowest release the launcher accepts in a folder that has recorded none or a lower
    // one (0: any).
    SignedUpdate(std::wstring publicKeyText, std::uint64_t minimumRelease);
    SignedUpdate(const SignedUpdate&) = delete;
    SignedUpdate& operator=(const SignedUpdate&) = delete;

    bool Enabled() const { return !key_.empty(); }

    // Fetches "<manifest>.sig" from recordUrl into memory. A site without one (HTTP 404) is remembered as such
    // and refused by Admit; any other failure ends here.
    vorn::Status FetchRecord(Fetcher& fetcher, const std::wstring& recordUrl, const DownloadCancelled& isCancelled);

    // After the manifest was downloaded to manifestPath: whether the key signed exactly these manifest bytes, in
    // a release not below the one last installed in clientRoot or the minimum, and not expired by the player's
    // clock. kManifestMismatch: the record signs other bytes, as when a publish fell between the two downloads.
    vorn::Result<ReleaseVerdict> AdmitRecord(const std::wstring& manifestPath, const std::wstring& clientRoot);

    // Once the record is admitted and the manifest parsed: the signed file of every entry.
    vorn::Status MatchEntries(const std::vector<ManifestEntry>& entries);

    // The limits of the download of entry `index`: the general ones, and the signed size as its cap.
    TransferLimits DownloadLimits(std::uint32_t index) const;

    // The sums of a downloaded file: with a key its SHA-256 too, through one provider for every file (opening one
    // costs more than hashing a small file), which the download threads take in turn. A CRC-32 known from the
    // bytes as they were written (`written`) spares the read when no key asks for more.
    StagedFileSums SumStaged(const std::wstring& path, const std::optional<std::uint32_t>& written = std::nullopt);

    // Whether the downloaded file of entry `index` is the signed one; `sums` are what SumStaged found.
    vorn::Status IsSigned(std::uint32_t index, const StagedFileSums& sums) const;

    // After every file is installed: keeps the release number in clientRoot when it grew.
    void RecordInstalled(const std::wstring& clientRoot) const;

private:
    std::wstring key_;
    std::uint64_t minimumRelease_ = 0;
    std::mutex hashing_;                  // the download threads take turns with the one hasher
    std::optional<Sha256Hasher> hasher_;  // with a key only
    std::string recordBytes_;  // empty: the site has no record
    std::uint64_t lastInstalled_ = 0;
    ReleaseRecord record_;
    std::vector<const ReleaseFile*> files_;  // entry i's file in record_
};
