#include "tests/support/loopback_peer.h"
#include "tests/support/reference_service.h"

#include "base/text.h"
#include "launch/region_line.h"
#include "launch/region_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace std::string_literals;

namespace {

bool SameRegion(const RegionInfo& a, const RegionInfo& b)
{
    return a.displayName == b.displayName && a.host == b.host && a.port == b.port && a.extra == b.extra;
}

void ExpectRegions(const std::vector<RegionInfo>& actual, const std::vector<RegionInfo>& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(SameRegion(actual[i], expected[i])) << "region " << i;
}

TEST(RegionLine, OnlyWellFormedRegionLinesCount)
{
    struct Case {
        std::string line;
        std::optional<RegionInfo> expected;
    };
    const Case cases[] = {
        {"REGION\t1\tAlpha\thost.example\t7000\tpvp", RegionInfo{L"Alpha", L"host.example", 7000, L"pvp"}},
        {"REGION\t1\t\xE5\xB2\x9A\xE8\xB0\xB7\t::1\t65535\t", RegionInfo{L"岚谷", L"::1", 65535, L""}},
        {"REGION\t1\t A \th\t 7000abc\t x ", RegionInfo{L" A ", L"h", 7000, L" x "}},
        {"REGION\t1\tA\t\t7000\tx", RegionInfo{L"A", L"", 7000, L"x"}},
        {"REGION\t1\tA\tgame_server.lan.\t7000\t", RegionInfo{L"A", L"game_server.lan.", 7000, L""}},
        {"REGION\t1\tA\t\xE5\xB2\x9A\xE8\xB0\xB7.\xE4\xB8\xAD\xE5\x9B\xBD\t7000\t",
         RegionInfo{L"A", L"岚谷.中国", 7000, L""}},
        {"REGION\t1\tA\t h \t7000\tx", std::nullopt},
        {"REGION\t1\tA\th\xE2\x80\x8Bost\t7000\tx", std::nullopt},
        {"REGION\t1\tA\th\t+80\t", RegionInfo{L"A", L"h", 80, L""}},
        {"REGION\t1\tA\th\t7000\tx\ty", std::nullopt},
        {"REGION\t1\tA\th\t7000", std::nullopt},
        {"region\t1\tA\th\t7000\tx", std::nullopt},
        {" REGION\t1\tA\th\t7000\tx", std::nullopt},
        {"REGION\t1\tA\th\t0\tx", std::nullopt},
        {"REGION\t1\tA\th\t65536\tx", std::nullopt},
        {"REGION\t1\tA\th\t-7000\tx", std::nullopt},
        {"REGION\t1\tA\th\tseven\tx", std::nullopt},
        {"REGION\t1\tA\th\t\tx", std::nullopt},
        {"REGION\t1\tA\th\t99999999999\tx", std::nullopt},
        {"REGION\t1\t\xFF\th\t7000\tx", std::nullopt},
        {"OK LIST 2", std::nullopt},
        {"END", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const std::optional<RegionInfo> region = ParseRegionLine(c.line);
        ASSERT_EQ(region.has_value(), c.expected.has_value());
        if (region) {
            EXPECT_TRUE(SameRegion(*region, *c.expected));
        }
    }
}

TEST(RegionLine, RealmNamesAreRenamedIgnoringAsciiCase)
{
    const auto nameOf = [](const std::string& name) {
        const auto region = ParseRegionLine("REGION\t1\t" + name + "\th\t7000\t");
        return region ? region->displayName : L"(none)";
    };
    EXPECT_EQ(nameOf("Realm 1"), L"一区");
    EXPECT_EQ(nameOf("realm 1"), L"一区");
    EXPECT_EQ(nameOf("VORN SERVER - REALM 1"), L"一区");
    EXPECT_EQ(nameOf("Realm 2"), L"二区");
    EXPECT_EQ(nameOf("vorn server - realm 2"), L"二区");
    EXPECT_EQ(nameOf("Realm 1 "), L"Realm 1 ");
    EXPECT_EQ(nameOf("Realm 3"), L"Realm 3");
    EXPECT_EQ(nameOf("Vorn Server-Realm 1"), L"Vorn Server-Realm 1");
}

TEST(RegionLine, LeadingNumbersReadLikeTheStandardConversion)
{
    EXPECT_EQ(ReadLeadingInt(L" \t42x"), 42);
    EXPECT_EQ(ReadLeadingInt(L"-2147483648"), INT_MIN);
    EXPECT_EQ(ReadLeadingInt(L"2147483647"), INT_MAX);
    EXPECT_EQ(ReadLeadingInt(L"007000"), 7000);
    EXPECT_EQ(ReadLeadingInt(L"2147483648"), std::nullopt);
    EXPECT_EQ(ReadLeadingInt(L"-2147483649"), std::nullopt);
    EXPECT_EQ(ReadLeadingInt(L"x42"), std::nullopt);
    EXPECT_EQ(ReadLeadingInt(L"+-1"), std::nullopt);
    EXPECT_EQ(ReadLeadingInt(L" "), std::nullopt);
}

class RegionListLoad : public testing::Test {
protected:
    void UseServerHost(const std::string& host) { serverHost_ = Utf8ToWide(host); }
    RegionListResult Load() const { return LoadRegionList(serverHost_); }

private:
    std::wstring serverHost_;
};

// A directory peer on the launcher's fixed port, at an address of its own.
std::unique_ptr<probe::LoopbackPeer> DirectoryPeer(probe::LoopbackPeer::Script script, std::string& address)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        address = probe::RandomLoopbackAddress();
        auto peer = std::make_unique<probe::LoopbackPeer>(script, AF_INET, address, kDirectoryPort);
        if (peer->listening())
            return peer;
    }
    return nullptr;
}

// The reference service on the launcher's fixed directory port, at an address of its own, listing `regions`.
std::unique_ptr<probe::ReferenceService> DirectoryService(const probe::TempDir& folder, const std::string& regions,
                                                         std::string& address)
{
    probe::WriteFileBytes(folder / L"regions.tsv", regions);
    std::unique_ptr<probe::ReferenceService> service;
    for (int attempt = 0; attempt < 5 && !(service && service->running()); ++attempt) {
        address = probe::RandomLoopbackAddress();
        service = std::make_unique<probe::ReferenceService>(std::vector<std::wstring>{
            L"--host", Utf8ToWide(address), L"--regions", probe::UnixPathOf(folder / L"regions.tsv")});
    }
    return service;
}

TEST_F(RegionListLoad, ReferenceServiceRegionsArriveInReplyOrder)
{
    const probe::TempDir folder;
    std::string address;
    const auto service = DirectoryService(folder,
                                          "1\tVorn Server - Realm 1\t{host}\t7001\tpvp\n"
                                          "2\trealm 2\tauth.example\t7002\n"
                                          "3\t\xE5\xB2\x9A\xE8\xB0\xB7\xE4\xB8\x89\xE5\x8C\xBA\t::1\t7003\tnew\n",
                                          address);
    ASSERT_TRUE(service->running()) << service->failure();
    ASSERT_EQ(service->directoryPort(), kDirectoryPort);
    UseServerHost(address);

    const RegionListResult result = Load();
    EXPECT_TRUE(result.connected);
    EXPECT_EQ(result.errorText, L"");
    ExpectRegions(result.regions, {{L"一区", Utf8ToWide(address), 7001, L"pvp"},
                   {L"二区", L"auth.example", 7002, L""},
                   {L"岚谷三区", L"::1", 7003, L"new"}});
    EXPECT_NE(service->Log().find("b'LIST' -> 'OK LIST 3'"), std::string::npos) << service->Log();
}

// Names reach the player's buttons without control or bidirectional-formatting characters. Hosts pass to the
// resolver as the directory names them (empty, with underscores, a trailing dot or in Chinese); only a region
// whose host could break the game's command line is left out.
TEST_F(RegionListLoad, ReferenceServiceNamesLoseHiddenCharactersAndOnlyBreakingHostsAreLeftOut)
{
    const probe::TempDir folder;
    std::string address;
    const auto service = DirectoryService(folder,
                                          "1\tA\x01" "B\x7F\xC2\x85" "C\x1B[2J\t{host}\t7001\n"
                                          "2\t\xE2\x80\xAE" "exe.gpj\xE2\x80\xAC Realm\xD8\x9C\t{host}\t7002\n"
                                          "3\t\xE2\x81\xA6Realm 1\xE2\x81\xA9\xE2\x80\x8F\t{host}\t7003\n"
                                          "4\tD\tbad host\t7004\n"
                                          "5\tE\tx\"y\t7005\n"
                                          "6\tF\tx\x00y\t7006\n"
                                          "7\tG\t\t7007\n"
                                          "8\tH\tgame_server.lan.\t7008\n"
                                          "9\tI\t\xE5\xB2\x9A\xE8\xB0\xB7.\xE4\xB8\xAD\xE5\x9B\xBD\t7009\n"s,
                                          address);
    ASSERT_TRUE(service->running()) << service->failure();
    UseServerHost(address);

    const RegionListResult result = Load();
    EXPECT_TRUE(result.connected);
    const std::wstring host = Utf8ToWide(address);
    ExpectRegions(result.regions,
                  {{L"ABC[2J", host, 7001, L""}, {L"exe.gpj Realm", host, 7002, L""}, {L"一区", host, 7003, L""},
                   {L"G", L"", 7007, L""}, {L"H", L"game_server.lan.", 7008, L""}, {L"I", L"岚谷.中国", 7009, L""}});
    EXPECT_NE(service->Log().find("'OK LIST 9'"), std::string::npos) << service->Log();
}

TEST_F(RegionListLoad, AnyAnswerConnectsAndKeepsTheRegionsItHolds)
{
    struct Case {
        const char* name;
        probe::LoopbackPeer::Script script;
        std::vector<RegionInfo> expected;
    };
    Case cases[] = {
        {"refusal", probe::AnswerAndHold("ERR BUSY\nREGION\t1\tA\th\t7000\t\n"), {}},
        {"empty listing", probe::AnswerAndHold("OK LIST 0\nEND\n"), {}},
        {"listing broken off, bad lines skipped",
         [](probe::PeerConnection& c) {
             c.ReadLine();
             c.Send("OK LIST 4\nREGION\t1\tA\th\t7000\t\nREGION\t2\tB\th\t0\t\nREGION\t3\tC\t\t7003\tz\n"
                    "REGION\t4\tD\th\t7004\t\tmore\nREGION\t5\tE\th\t7005");
         },
         {{L"A", L"h", 7000, L""}, {L"C", L"", 7003, L"z"}}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string address;
        const auto peer = DirectoryPeer(std::move(c.script), address);
        ASSERT_TRUE(peer);
        UseServerHost(address);
        const RegionListResult result = Load();
        EXPECT_TRUE(result.connected);
        EXPECT_EQ(result.errorText, L"");
        ExpectRegions(result.regions, c.expected);
    }
}

TEST_F(RegionListLoad, FailuresAreReportedAndClearTheList)
{
    {
        SCOPED_TRACE("nothing listening");
        UseServerHost(probe::RandomLoopbackAddress());
        const RegionListResult result = Load();
        EXPECT_FALSE(result.connected);
        EXPECT_EQ(result.errorText, kDirectoryUnreachableText);
        ExpectRegions(result.regions, {});
    }
    {
        SCOPED_TRACE("host does not resolve");
        UseServerHost("directory.invalid");
        const RegionListResult result = Load();
        EXPECT_FALSE(result.connected);
        EXPECT_EQ(result.errorText, kDirectoryUnreachableText);
    }
    {
        SCOPED_TRACE("no host configured");
        UseServerHost("");
        const RegionListResult result = Load();
        EXPECT_FALSE(result.connected);
        EXPECT_EQ(result.errorText, kNoServerHostText);
        ExpectRegions(result.regions, {});
    }
}

}
