#include "update/signed_update.h"

#include "update/crc32.h"
#include "update/http_reply.h"
#include "update/ini_file.h"
#include "update/installed_release.h"
#include "update/release_check.h"

#include <algorithm>
#include <chrono>

namespace {

constexpr unsigned long kNotFound = 404;

// Reads the file once for its CRC-32 and, with a hasher, its SHA-256 too.
StagedFileSums SumStagedFile(const std::wstring& path, Sha256Hasher* hasher)
{
    StagedFileSums sums;
    const vorn::Result<std::uint32_t> crc = hasher == nullptr
                                                ? FileCrc32(path)
                                                : FileCrc32(path, [&](const unsigned char* data, std::size_t size) {
                                                      hasher->Add(data, size);
                                                      sums.size += size;
                                                  });
    sums.read = crc.ok();
    sums.crc32 = crc ? *crc : 0;
    if (hasher == nullptr)
        return sums;
    // Finish also starts the hasher afresh after a read that stopped part way.
    if (const vorn::Result<Sha256Digest> digest = hasher->Finish())
        sums.sha256 = *digest;
    return sums;
}

}

SignedUpdate::SignedUpdate(std::wstring publicKeyText, std::uint64_t minimumRelease)
    : key_(std::move(publicKeyText)), minimumRelease_(minimumRelease)
{
    if (Enabled())
        hasher_.emplace();
}

StagedFileSums SignedUpdate::SumStaged(const std::wstring& path, const std::optional<std::uint32_t>& written)
{
    if (!hasher_ && written) {
        StagedFileSums sums;
        sums.read = true;
        sums.crc32 = *written;
        return sums;
    }
    if (!hasher_)
        return SumStagedFile(path, nullptr);
    const std::lock_guard lock(hashing_);
    return SumStagedFile(path, &*hasher_);
}

vorn::Status SignedUpdate::FetchRecord(Fetcher& fetcher, const std::wstring& recordUrl,
                                       const DownloadCancelled& isCancelled)
{
    if (!Enabled())
        return {};
    TransferLimits limits = ManifestLimits();
    limits.byteCap = kMaxReleaseRecordBytes;
    MemorySink sink(recordBytes_);
    const FetchResult fetched = FetchWithRetries(fetcher, recordUrl, sink, limits, {}, isCancelled);
    if (fetched.done())
        return {};
    recordBytes_.clear();
    if (fetched.message == HttpStatusMessage(kNotFound))
        return {};
    return vorn::Failure{L"更新签名下载失败：" + recordUrl + L"\n" + fetched.message};
}

vorn::Result<ReleaseVerdict> SignedUpdate::AdmitRecord(const std::wstring& manifestPath,
                                                       const std::wstring& clientRoot)
{
    if (!Enabled())
        return ReleaseVerdict::kAdmitted;
    std::string manifest;
    if (!ReadWholeFile(manifestPath, manifest))
        return vorn::Failure{L"无法读取更新清单。"};
    ReleaseBounds bounds;
    bounds.lastInstalled = lastInstalled_ = ReadInstalledRelease(clientRoot);
    bounds.minimumRelease = minimumRelease_;
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    bounds.now = static_cast<std::uint64_t>(
        std::max<std::int64_t>(std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count(), 0));
    return MayInstallRelease(key_, recordBytes_, manifest, bounds, record_);
}

vorn::Status SignedUpdate::MatchEntries(const std::vector<ManifestEntry>& entries)
{
    if (!Enabled())
        return {};
    vorn::Result<std::vector<const ReleaseFile*>> matched = MatchReleaseFiles(record_, entries);
    if (!matched)
        return matched.failure();
    files_ = std::move(*matched);
    return {};
}

TransferLimits SignedUpdate::DownloadLimits(std::uint32_t index) const
{
    TransferLimits limits;
    if (Enabled())
        limits.signedSize = files_[index]->size;
    return limits;
}

vorn::Status SignedUpdate::IsSigned(std::uint32_t index, const StagedFileSums& sums) const
{
    // A file that could not be read to its end is left to the CRC-32 check, which refuses it.
    if (!Enabled() || !sums.read)
        return {};
    if (!sums.sha256)
        return vorn::Failure{kSha256FailedMessage};
    return IsSignedReleaseFile(*files_[index], sums.size, *sums.sha256);
}

void SignedUpdate::RecordInstalled(const std::wstring& clientRoot) const
{
    // The files are in place whether or not the number can be kept; a folder that takes no small file took no
    // update either, so a failure here leaves only the guard where it was.
    if (Enabled() && record_.release > lastInstalled_)
        WriteInstalledRelease(clientRoot, record_.release);
}
