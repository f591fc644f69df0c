#include "update/installed_release.h"
#include "update/release_check.h"

#include "tests/support/process_probe.h"
#include "tests/update/signed_sites.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

std::uint64_t Now()
{
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

struct Check {
    std::string record = probe::ReadFileBytes(SignedSite(L"signed\\up.ini.sig"));
    std::string manifest = probe::ReadFileBytes(SignedSite(L"signed\\up.ini"));
    std::wstring key = SignedSitesPublicKey();
    ReleaseBounds bounds{0, 0, Now()};

    // The refusal, or "" when the release may be installed.
    std::wstring Refusal() const
    {
        ReleaseRecord accepted;
        const vorn::Result<ReleaseVerdict> verdict = MayInstallRelease(key, record, manifest, bounds, accepted);
        const bool admitted = verdict && *verdict == ReleaseVerdict::kAdmitted;
        EXPECT_EQ(admitted, accepted.release == 7);
        if (verdict && *verdict == ReleaseVerdict::kManifestMismatch)
            return L"更新清单与签名不符，已拒绝安装。";
        return verdict.message();
    }
};

}

TEST(ReleaseCheck, ASignedReleaseMayBeInstalledAgainButNotBelowTheLastOneOrTheLaunchersMinimum)
{
    Check check;
    EXPECT_EQ(check.Refusal(), L"");
    check.bounds.lastInstalled = 7;
    EXPECT_EQ(check.Refusal(), L"");
    check.bounds.lastInstalled = 8;
    EXPECT_EQ(check.Refusal(), L"更新的发布号 7 低于已安装的发布号 8，已拒绝安装。");

    // A client unpacked from release 8's package has recorded no release yet; its launcher knows the floor.
    check.bounds = {0, 8, Now()};
    EXPECT_EQ(check.Refusal(), L"更新的发布号 7 低于本登录器要求的最低发布号 8，已拒绝安装。");
    check.bounds.minimumRelease = 7;
    EXPECT_EQ(check.Refusal(), L"");
    check.bounds = {9, 8, Now()};
    EXPECT_EQ(check.Refusal(), L"更新的发布号 7 低于已安装的发布号 9，已拒绝安装。");
}

TEST(ReleaseCheck, ARecordHoldsForTheDaysItWasSignedForAndAnExpiredOneNamesBothDates)
{
    Check check;
    const vorn::Result<ReleaseRecord> parsed = ParseReleaseRecord(check.record);
    ASSERT_TRUE(parsed) << parsed.message();
    const ReleaseRecord& record = *parsed;
    ASSERT_TRUE(record.freshness);
    const std::uint64_t signedAt = record.freshness->signedAt;
    EXPECT_LE(signedAt, Now());
    EXPECT_EQ(record.freshness->validFor, 30u * 86400u);

    check.bounds.now = signedAt + 30 * 86400;
    EXPECT_EQ(check.Refusal(), L"");
    // A clock behind the signing time is a wrong clock, not a replay: the release is taken.
    check.bounds.now = 0;
    EXPECT_EQ(check.Refusal(), L"");
    check.bounds.now = signedAt + 30 * 86400 + 1;
    EXPECT_TRUE(check.Refusal().starts_with(L"更新签名已于 ")) << check.Refusal();

    Check expired;  // signed on 2001-09-09 01:46:40 UTC for one day
    expired.record = probe::ReadFileBytes(SignedSite(L"expired\\up.ini.sig"));
    expired.bounds.now = 1767225600;  // 2026-01-01
    EXPECT_EQ(expired.Refusal(), L"更新签名已于 2001-09-10 过期（本机日期 2026-01-01），已拒绝安装。"
                                 L"请等待运营方发布新的签名后再更新；如果本机日期不对，请先校正系统时间。");
    expired.bounds.now = 1000000000 + 86400;
    EXPECT_EQ(expired.Refusal(), L"");
    expired.bounds.now = ~std::uint64_t{0};  // no clock shows this; the message stays a date
    EXPECT_TRUE(expired.Refusal().find(L"（本机日期 9999-12-31）") != std::wstring::npos) << expired.Refusal();

    Check older;  // signed by a tool that did not say when
    older.record = probe::ReadFileBytes(SignedSite(L"no-time\\up.ini.sig"));
    EXPECT_EQ(older.Refusal(), L"更新签名没有注明有效期，已拒绝安装。");
}

TEST(ReleaseCheck, RefusesWhatTheKeyDidNotSign)
{
    const std::wstring badSignature = L"更新签名无效，已拒绝安装。";
    Check missing;
    missing.record.clear();
    EXPECT_EQ(missing.Refusal(), L"更新站点缺少更新签名，已拒绝安装。");

    Check otherKey;
    otherKey.record = probe::ReadFileBytes(SignedSite(L"other-key\\up.ini.sig"));
    EXPECT_EQ(otherKey.Refusal(), badSignature);

    Check higherRelease;  // a replayed record made to look newer
    higherRelease.record.replace(higherRelease.record.find("release 7"), 9, "release 9");
    higherRelease.bounds.lastInstalled = 8;
    EXPECT_EQ(higherRelease.Refusal(), badSignature);

    Check flippedSignature;
    // The last hexadecimal digit becomes another one (a flipped bit could leave the hexadecimal digits).
    char& lastDigit = flippedSignature.record[flippedSignature.record.size() - 2];
    lastDigit = lastDigit == '0' ? '1' : '0';
    EXPECT_EQ(flippedSignature.Refusal(), badSignature);

    Check malformed;
    malformed.record = "\n" + malformed.record;
    EXPECT_EQ(malformed.Refusal(), L"更新签名记录第 1 行无效，已拒绝安装。");

    Check badKey;
    badKey.key.back() = L'g';
    EXPECT_EQ(badKey.Refusal(), L"登录器内置的更新公钥无效，已拒绝安装。");
}

TEST(ReleaseCheck, RefusesAManifestOtherThanTheSignedOne)
{
    const std::wstring refusal = L"更新清单与签名不符，已拒绝安装。";
    Check longer;
    longer.manifest += "\r\n";
    EXPECT_EQ(longer.Refusal(), refusal);
    Check sameSize;
    sameSize.manifest[sameSize.manifest.find("Main.exe")] = 'm';
    EXPECT_EQ(sameSize.Refusal(), refusal);
}

TEST(ReleaseCheck, EveryDownloadMustBeTheSignedFile)
{
    ReleaseRecord record;
    const Check check;
    const vorn::Result<ReleaseVerdict> verdict =
        MayInstallRelease(check.key, check.record, check.manifest, check.bounds, record);
    ASSERT_TRUE(verdict && *verdict == ReleaseVerdict::kAdmitted) << verdict.message();
    const vorn::Result<std::vector<ManifestEntry>> parsed = ParseManifest(SignedSite(L"signed\\up.ini"));
    ASSERT_TRUE(parsed) << parsed.message();
    std::vector<ManifestEntry> entries = *parsed;

    const vorn::Result<std::vector<const ReleaseFile*>> matched = MatchReleaseFiles(record, entries);
    ASSERT_TRUE(matched) << matched.message();
    const std::vector<const ReleaseFile*>& files = *matched;
    ASSERT_EQ(files.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string bytes = probe::ReadFileBytes(SignedSite(L"signed\\" + entries[i].remotePath));
        const vorn::Status same = IsSignedReleaseFile(*files[i], bytes.size(), *Sha256Of(bytes));
        EXPECT_TRUE(same) << same.message();
    }

    const std::string game = probe::ReadFileBytes(SignedSite(L"signed\\Main.exe"));
    const ReleaseFile& signedGame = *files.back();
    std::string swapped = game;
    swapped[100] ^= 0x01;
    EXPECT_EQ(IsSignedReleaseFile(signedGame, swapped.size(), *Sha256Of(swapped)).message(),
              L"文件与更新签名不符：Main.exe，已拒绝安装。");
    EXPECT_FALSE(IsSignedReleaseFile(signedGame, game.size() + 1, *Sha256Of(game)));

    entries.push_back({L"Data\\extra.dat", L"Data\\extra.dat", L"00000000"});
    EXPECT_EQ(MatchReleaseFiles(record, entries).message(), L"文件未经签名：Data\\extra.dat，已拒绝安装。");
}

TEST(InstalledRelease, KeptInTheClientFolderAndReplacedWhole)
{
    probe::TempDir client;
    EXPECT_EQ(ReadInstalledRelease(client.path()), 0u);
    ASSERT_TRUE(WriteInstalledRelease(client.path(), 7));
    EXPECT_EQ(probe::ReadFileBytes(client / kInstalledReleaseFileName), "7\n");
    ASSERT_TRUE(WriteInstalledRelease(client.path(), 9223372036854775807ull));
    EXPECT_EQ(ReadInstalledRelease(client.path()), 9223372036854775807ull);
    EXPECT_FALSE(probe::FileExists(client / (std::wstring(kInstalledReleaseFileName) + L".new")));

    for (const char* damaged : {"", "7", "07\n", "-7\n", "7\r\n", "9223372036854775808\n"})
        EXPECT_EQ(ParseInstalledRelease(damaged), 0u) << damaged;
    probe::WriteFileBytes(client / kInstalledReleaseFileName, std::string(40, '1') + "\n");
    EXPECT_EQ(ReadInstalledRelease(client.path()), 0u);
    EXPECT_FALSE(WriteInstalledRelease(client / L"missing-folder", 8));
}
