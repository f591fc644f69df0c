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
const wchar_t kManifestMessage[] = L"更新清单与签名不符，已拒绝安装。";

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

ReleaseVerdict MayInstallRelease(std::wstring_view publicKeyText, std::string_view recordBytes,
                                 std::string_view manifestBytes, const ReleaseBounds& bounds, ReleaseRecord& record,
                                 std::wstring& error)
{
    error.clear();
    const std::optional<EcdsaP256PublicKey> key = ParseUpdatePublicKey(publicKeyText);
    if (!key) {
        error = kBadKeyMessage;
        return ReleaseVerdict::kRefused;
    }
    if (recordBytes.empty()) {
        error = kMissingMessage;
        return ReleaseVerdict::kRefused;
    }
    ReleaseRecord parsed;
    if (!ParseReleaseRecord(recordBytes, parsed, error))
        return ReleaseVerdict::kRefused;
    if (!VerifyReleaseSignature(recordBytes, parsed, *key)) {
        error = kBadSignatureMessage;
        return ReleaseVerdict::kRefused;
    }
    if (parsed.manifestSize != manifestBytes.size() || parsed.manifestSha256 != Sha256Of(manifestBytes)) {
        error = kManifestMessage;
        return ReleaseVerdict::kManifestMismatch;
    }
    if (std::optional<std::wstring> refusal = BoundsRefusal(parsed, bounds)) {
        error = std::move(*refusal);
        return ReleaseVerdict::kRefused;
    }
    record = std::move(parsed);
    return ReleaseVerdict::kAdmitted;
}

bool MatchReleaseFiles(const ReleaseRecord& record, const std::vector<ManifestEntry>& entries,
                       std::vector<const ReleaseFile*>& files, std::wstring& error)
{
    error.clear();
    std::unordered_map<std::wstring, const ReleaseFile*> bySitePath;
    bySitePath.reserve(record.files.size());
    for (const ReleaseFile& file : record.files)
        bySitePath.emplace(ManifestFormOf(file.sitePath), &file);
    std::vector<const ReleaseFile*> matched;
    matched.reserve(entries.size());
    for (const ManifestEntry& entry : entries) {
        const auto found = bySitePath.find(entry.remotePath);
        if (found == bySitePath.end()) {
            error = L"文件未经签名：" + entry.remotePath + L"，已拒绝安装。";
            return false;
        }
        matched.push_back(found->second);
    }
    files = std::move(matched);
    return true;
}

bool IsSignedReleaseFile(const ReleaseFile& expected, std::uint64_t size, const Sha256Digest& sha256,
                         std::wstring& error)
{
    error.clear();
    if (size == expected.size && sha256 == expected.sha256)
        return true;
    error = L"文件与更新签名不符：" + ManifestFormOf(expected.sitePath) + L"，已拒绝安装。";
    return false;
}
