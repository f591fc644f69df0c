#include "update/installed_release.h"
#include "update/release_check.h"

#include "tests/support/process_probe.h"
#include "tests/update/signed_sites.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Check {
    std::string record = probe::ReadFileBytes(SignedSite(L"signed\\up.ini.sig"));
    std::string manifest = probe::ReadFileBytes(SignedSite(L"signed\\up.ini"));
    std::wstring key = SignedSitesPublicKey();
    std::uint64_t lastInstalled = 0;

    // The refusal, or "" when the release may be installed.
    std::wstring Refusal() const
    {
        ReleaseRecord accepted;
        std::wstring error = L"stale";
        const bool ok = MayInstallRelease(key, record, manifest, lastInstalled, accepted, error);
        EXPECT_EQ(ok, error.empty());
        EXPECT_EQ(ok, accepted.release == 7);
        return error;
    }
};

}

TEST(ReleaseCheck, ASignedReleaseMayBeInstalledAgainButNotBelowTheLastOne)
{
    Check check;
    EXPECT_EQ(check.Refusal(), L"");
    check.lastInstalled = 7;
    EXPECT_EQ(check.Refusal(), L"");
    check.lastInstalled = 8;
    EXPECT_EQ(check.Refusal(), L"更新的发布号 7 低于已安装的发布号 8，已拒绝安装。");
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
    higherRelease.lastInstalled = 8;
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
    std::wstring error;
    const Check check;
    ASSERT_TRUE(MayInstallRelease(check.key, check.record, check.manifest, 0, record, error)) << error;
    std::vector<ManifestEntry> entries;
    ASSERT_TRUE(ParseManifest(SignedSite(L"signed\\up.ini"), entries, error)) << error;

    std::vector<const ReleaseFile*> files;
    ASSERT_TRUE(MatchReleaseFiles(record, entries, files, error)) << error;
    ASSERT_EQ(files.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string bytes = probe::ReadFileBytes(SignedSite(L"signed\\" + entries[i].remotePath));
        EXPECT_TRUE(IsSignedReleaseFile(*files[i], bytes.size(), Sha256Of(bytes), error)) << error;
    }

    const std::string game = probe::ReadFileBytes(SignedSite(L"signed\\Main.exe"));
    const ReleaseFile& signedGame = *files.back();
    std::string swapped = game;
    swapped[100] ^= 0x01;
    EXPECT_FALSE(IsSignedReleaseFile(signedGame, swapped.size(), Sha256Of(swapped), error));
    EXPECT_EQ(error, L"文件与更新签名不符：Main.exe，已拒绝安装。");
    EXPECT_FALSE(IsSignedReleaseFile(signedGame, game.size() + 1, Sha256Of(game), error));
    EXPECT_FALSE(error.empty());

    entries.push_back({L"Data\\extra.dat", L"Data\\extra.dat", L"00000000"});
    EXPECT_FALSE(MatchReleaseFiles(record, entries, files, error));
    EXPECT_EQ(error, L"文件未经签名：Data\\extra.dat，已拒绝安装。");
    EXPECT_EQ(files.size(), entries.size() - 1);  // untouched
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
