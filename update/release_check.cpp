#include "update/release_check.h"

#include <algorithm>
#include <optional>
#include <unordered_map>

namespace {

const wchar_t kBadKeyMessage[] = L"登录器内置的更新公钥无效，已拒绝安装。";
const wchar_t kMissingMessage[] = L"更新站点缺少更新签名，已拒绝安装。";
const wchar_t kBadSignatureMessage[] = L"更新签名无效，已拒绝安装。";
const wchar_t kManifestMessage[] = L"更新清单与签名不符，已拒绝安装。";

std::wstring OlderReleaseMessage(std::uint64_t release, std::uint64_t installed)
{
    return L"更新的发布号 " + std::to_wstring(release) + L" 低于已安装的发布号 " + std::to_wstring(installed) +
           L"，已拒绝安装。";
}

// The manifest's site paths use backslashes after reading; the record writes them with forward slashes.
std::wstring ManifestFormOf(std::wstring sitePath)
{
    std::replace(sitePath.begin(), sitePath.end(), L'/', L'\\');
    return sitePath;
}

}

bool MayInstallRelease(std::wstring_view publicKeyText, std::string_view recordBytes, std::string_view manifestBytes,
                       std::uint64_t lastInstalledRelease, ReleaseRecord& record, std::wstring& error)
{
    error.clear();
    const std::optional<EcdsaP256PublicKey> key = ParseUpdatePublicKey(publicKeyText);
    if (!key) {
        error = kBadKeyMessage;
        return false;
    }
    if (recordBytes.empty()) {
        error = kMissingMessage;
        return false;
    }
    ReleaseRecord parsed;
    if (!ParseReleaseRecord(recordBytes, parsed, error))
        return false;
    if (!VerifyReleaseSignature(recordBytes, parsed, *key)) {
        error = kBadSignatureMessage;
        return false;
    }
    if (parsed.manifestSize != manifestBytes.size() || parsed.manifestSha256 != Sha256Of(manifestBytes)) {
        error = kManifestMessage;
        return false;
    }
    if (parsed.release < lastInstalledRelease) {
        error = OlderReleaseMessage(parsed.release, lastInstalledRelease);
        return false;
    }
    record = std::move(parsed);
    return true;
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
