#include "update/release_check.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <unordered_map>

namespace {

const wchar_t kBadKeyMessage[] = L"登录器内置的更新公钥无效，已拒绝安装。";
const wchar_t kMissingMessage[] = L"更新站点缺少更新签名，已拒绝安装。";
const wchar_t kBadSignatureMessage[] = L"更新签名无效，已拒绝安装。";

// The end of the year 9999: later times are shown as that date (a clock set that far is wrong anyway).
constexpr std::uint64_t kLatestClock = 253402300799;

const wchar_t kNoFreshnessMessage[] = L"更新签名没有注明有效期，已拒绝安装。";

std::wstring OlderReleaseMessage(std::uint64_t release, std::uint64_t installed)
{
    return L"更新的发布号 " + std::to_wstring(release) + L" 低于已安装的发布号 " + std::to_wstring(installed) +
           L"，已拒绝安装。";
}

std::wstring BelowMinimumMessage(std::uint64_t release, std::uint64_t minimum)
{
    return L"更新的发布号 " + std::to_wstring(release) + L" 低于本登录器要求的最低发布号 " +
           std::to_wstring(minimum) + L"，已拒绝安装。";
}

// The UTC date of a time as YYYY-MM-DD, for times up to kLatestClock.
std::wstring UtcDate(std::uint64_t seconds)
{
    const std::chrono::sys_seconds time{std::chrono::seconds{static_cast<std::int64_t>(seconds)}};
    const std::chrono::year_month_day date{std::chrono::floor<std::chrono::days>(time)};
    wchar_t text[16] = {};
    std::swprintf(text, 16, L"%04d-%02u-%02u", static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()));
    return text;
}

// Names both dates, so a player whose clock is wrong sees it in the message.
std::wstring ExpiredMessage(std::uint64_t expiry, std::uint64_t now)
{
    return L"更新签名已于 " + UtcDate(expiry) + L" 过期（本机日期 " + UtcDate(now) +
           L"），已拒绝安装。请等待运营方发布新的签名后再更新；如果本机日期不对，请先校正系统时间。";
}

// Why a release is refused by its number or its age, or nothing when it may be installed.
std::optional<std::wstring> BoundsRefusal(const ReleaseRecord& record, const ReleaseBounds& bounds)
{
    if (bounds.minimumRelease > bounds.lastInstalled && record.release < bounds.minimumRelease)
        return BelowMinimumMessage(record.release, bounds.minimumRelease);
    if (record.release < bounds.lastInstalled)
        return OlderReleaseMessage(record.release, bounds.lastInstalled);
    if (!record.freshness)
        return kNoFreshnessMessage;
    // Each is at most 2^63 - 1, so the sum fits.
    const std::uint64_t expiry = record.freshness->signedAt + record.freshness->validFor;
    if (bounds.now > expiry)
        return ExpiredMessage(std::min(expiry, kLatestClock), std::min(bounds.now, kLatestClock));
    return std::nullopt;
}

// The manifest's site paths use backslashes after reading; the record writes them with forward slashes.
std::wstring ManifestFormOf(std::wstring sitePath)
{
    std::replace(sitePath.begin(), sitePath.end(), L'/', L'\\');
    return sitePath;
}

}

vorn::Result<ReleaseVerdict> MayInstallRelease(std::wstring_view publicKeyText, std::string_view recordBytes,
                                               std::string_view manifestBytes, const ReleaseBounds& bounds,
                                               ReleaseRecord& record)
{
    const std::optional<EcdsaP256PublicKey> key = ParseUpdatePublicKey(publicKeyText);
    if (!key)
        return vorn::Failure{kBadKeyMessage};
    if (recordBytes.empty())
        return vorn::Failure{kMissingMessage};
    vorn::Result<ReleaseRecord> read = ParseReleaseRecord(recordBytes);
    if (!read)
        return read.failure();
    ReleaseRecord& parsed = *read;
    if (!VerifyReleaseSignature(recordBytes, parsed, *key))
        return vorn::Failure{kBadSignatureMessage};
    const vorn::Result<Sha256Digest> manifestSha256 = Sha256Of(manifestBytes);
    if (!manifestSha256)
        return manifestSha256.failure();
    if (parsed.manifestSize != manifestBytes.size() || parsed.manifestSha256 != *manifestSha256)
        return ReleaseVerdict::kManifestMismatch;
    if (std::optional<std::wstring> refusal = BoundsRefusal(parsed, bounds))
        return vorn::Failure{std::move(*refusal)};
    record = std::move(parsed);
    return ReleaseVerdict::kAdmitted;
}

vorn::Result<std::vector<const ReleaseFile*>> MatchReleaseFiles(const ReleaseRecord& record,
                                                                const std::vector<ManifestEntry>& entries)
{
    std::unordered_map<std::wstring, const ReleaseFile*> bySitePath;
    bySitePath.reserve(record.files.size());
    for (const ReleaseFile& file : record.files)
        bySitePath.emplace(ManifestFormOf(file.sitePath), &file);
    std::vector<const ReleaseFile*> matched;
    matched.reserve(entries.size());
    for (const ManifestEntry& entry : entries) {
        const auto found = bySitePath.find(entry.remotePath);
        if (found == bySitePath.end())
            return vorn::Failure{L"文件未经签名：" + entry.remotePath + L"，已拒绝安装。"};
        matched.push_back(found->second);
    }
    return matched;
}

vorn::Status IsSignedReleaseFile(const ReleaseFile& expected, std::uint64_t size, const Sha256Digest& sha256)
{
    if (size == expected.size && sha256 == expected.sha256)
        return {};
    return vorn::Failure{L"文件与更新签名不符：" + ManifestFormOf(expected.sitePath) + L"，已拒绝安装。"};
}
