#include "update/manifest.h"

#include "base/text.h"
#include "update/block_index_ref.h"
#include "update/block_matcher.h"
#include "update/cng.h"
#include "update/crc32.h"
#include "update/ini_file.h"

#include "tests/support/process_probe.h"
#include "tests/update/block_index_maker.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

const std::wstring kCountMessage = L"更新清单中的 Count 无效；请确认网站返回的是 up.ini，而不是网页。";

struct ParseOutcome {
    bool ok = false;
    std::vector<ManifestEntry> entries;
    std::wstring error;
};

ParseOutcome Parse(const probe::TempDir& dir, const std::string& bytes)
{
    probe::WriteFileBytes(dir / L"manifest.ini", bytes);
    vorn::Result<std::vector<ManifestEntry>> parsed = ParseManifest(dir / L"manifest.ini");
    ParseOutcome outcome;
    outcome.ok = parsed.ok();
    outcome.error = parsed.message();
    if (parsed)
        outcome.entries = std::move(*parsed);
    return outcome;
}

std::string Entry(int n, const std::string& file, const std::string& cfile, const std::string& crc)
{
    const std::string number = std::to_string(n);
    return "File" + number + "=" + file + "\nCFile" + number + "=" + cfile + "\nXYZ" + number + "=" + crc + "\n";
}

}

TEST(Manifest, ReadsEntriesInOrderWithNormalisedPathsAndChecksums)
{
    probe::TempDir dir;
    const ParseOutcome outcome =
        Parse(dir, "[Set]\r\nCount=3\r\n[up]\r\n" + Entry(1, "data/player/player.bmd", "Data\\Player\\player.bmd",
                                                          "1a2b3c4d") +
                       Entry(2, "Main.exe", "Main.exe", "123") + Entry(3, "/x.dat", " \\Data\\x.dat ", " 0xabc "));
    ASSERT_TRUE(outcome.ok) << outcome.error;
    EXPECT_TRUE(outcome.error.empty());
    ASSERT_EQ(outcome.entries.size(), 3u);
    EXPECT_EQ(outcome.entries[0].remotePath, L"data\\player\\player.bmd");
    EXPECT_EQ(outcome.entries[0].localPath, L"Data\\Player\\player.bmd");
    EXPECT_EQ(outcome.entries[0].crc32Hex, L"1A2B3C4D");
    EXPECT_EQ(outcome.entries[1].crc32Hex, L"0000007B");
    EXPECT_EQ(outcome.entries[2].remotePath, L"x.dat");
    EXPECT_EQ(outcome.entries[2].localPath, L"Data\\x.dat");  // the value is trimmed before the path rules
    EXPECT_EQ(outcome.entries[2].crc32Hex, L"00000ABC");
}

TEST(Manifest, CountForms)
{
    probe::TempDir dir;
    for (const char* good : {"0", "+0", "-0", " 0 "}) {
        const ParseOutcome outcome = Parse(dir, std::string("[Set]\nCount=") + good + "\n");
        EXPECT_TRUE(outcome.ok) << good;
        EXPECT_TRUE(outcome.entries.empty());
    }
    // +7 and 100000 pass Count; the missing entries then fail as entry 1.
    for (const char* accepted : {"+7", "100000"}) {
        const ParseOutcome outcome = Parse(dir, std::string("[Set]\nCount=") + accepted + "\n");
        EXPECT_EQ(outcome.error, L"更新清单第 1 项路径或 CRC32 无效。") << accepted;
    }
    for (const char* bad : {"", "12abc", "-1", "100001", "2147483648", "99999999999999999999", "0x10", "1 2", "+",
                            "\"\"", "\xEF\xBC\x91"}) {
        const ParseOutcome outcome = Parse(dir, std::string("[Set]\nCount=") + bad + "\n");
        EXPECT_FALSE(outcome.ok) << bad;
        EXPECT_EQ(outcome.error, kCountMessage) << bad;
    }
    EXPECT_EQ(Parse(dir, "[up]\nCount=1\n").error, kCountMessage);
    EXPECT_EQ(Parse(dir, "<!DOCTYPE html>\n<html><head><title>404 Not Found</title></head>\n"
                         "<body><h1>Not Found</h1><p>[Set] Count=1</p></body></html>\n")
                  .error,
              kCountMessage);

    probe::TempDir empty;
    EXPECT_EQ(ParseManifest(empty / L"missing.ini").message(), kCountMessage);
}

TEST(Manifest, FirstBadEntryEndsTheParse)
{
    probe::TempDir dir;
    std::vector<ManifestEntry> entries;
    std::wstring error;
    const auto parseInto = [&](const std::string& bytes) {
        const ParseOutcome outcome = Parse(dir, bytes);
        entries = outcome.entries;
        error = outcome.error;
        return outcome.ok;
    };

    EXPECT_FALSE(parseInto("[Set]\nCount=2\n[up]\n" + Entry(1, "a", "a", "00000001")));
    EXPECT_EQ(error, L"更新清单第 2 项路径或 CRC32 无效。");
    const std::pair<std::string, std::string> badSecond[] = {
        {"..\\a", "b"}, {"b", "C:\\b"}, {"b", "a\\con.txt"}, {"b", "b."}, {"", "b"}};
    for (const auto& [file, cfile] : badSecond) {
        EXPECT_FALSE(parseInto("[Set]\nCount=3\n[up]\n" + Entry(1, "a", "a", "1") + Entry(2, file, cfile, "2") +
                               Entry(3, "..", "..", "zz")));
        EXPECT_EQ(error, L"更新清单第 2 项路径或 CRC32 无效。") << file << " " << cfile;
    }
    for (const char* badCrc : {"", "0x", "1A2B3C4", "-5", "4294967296", "1A2B3C4D5", "0x1G", "12 34"}) {
        EXPECT_FALSE(parseInto("[Set]\nCount=1\n[up]\n" + Entry(1, "a", "a", badCrc)));
        EXPECT_EQ(error, L"更新清单第 1 项路径或 CRC32 无效。") << badCrc;
    }

    EXPECT_FALSE(parseInto("[Set]\nCount=3\n[up]\n" + Entry(1, "x", "Data/a.txt", "1") +
                           Entry(2, "y", "data\\A.TXT", "2") + Entry(3, "z", "Data/a.txt", "3")));
    EXPECT_EQ(error, L"客户端目标文件重复：data\\A.TXT");
    // Equal remote paths are fine: one site file may be installed in two places.
    EXPECT_TRUE(parseInto("[Set]\nCount=2\n[up]\n" + Entry(1, "x", "a", "1") + Entry(2, "x", "b", "2")));
    EXPECT_TRUE(error.empty());
    ASSERT_EQ(entries.size(), 2u);

    ASSERT_TRUE(parseInto("[Set]\nCount=0\n"));
    EXPECT_TRUE(entries.empty());
}

TEST(Manifest, RemotePathThroughALinkBesideTheManifestIsRefused)
{
    probe::TempDir dir;
    ASSERT_TRUE(CreateDirectoryW((dir / L"data").c_str(), nullptr));
    probe::WriteFileBytes(dir / L"up.ini", "[Set]\nCount=1\n[up]\n" + Entry(1, "data/x/y.bmd", "y.bmd", "1"));
    const vorn::Result<std::vector<ManifestEntry>> plain = ParseManifest(dir / L"up.ini");
    EXPECT_TRUE(plain) << plain.message();

    ASSERT_TRUE(RemoveDirectoryW((dir / L"data").c_str()));
    ASSERT_TRUE(probe::StartLinuxProgram(L"/bin/ln", L"-s . data", dir.path()));
    for (int i = 0; i < 100 && !probe::FileExists(dir / L"data"); ++i)
        Sleep(50);
    EXPECT_EQ(ParseManifest(dir / L"up.ini").message(), L"清单中的本地文件路径无效。");
}

TEST(Manifest, ChecksumTexts)
{
    const std::pair<std::wstring, std::uint32_t> valid[] = {
        {L"1a2b3c4d", 0x1A2B3C4Du},   {L"0X1A2B3C4D", 0x1A2B3C4Du}, {L"  1A2B3C4D\t", 0x1A2B3C4Du},
        {L"123", 123u},               {L"12345678", 0x12345678u},   {L"4294967295", 0xFFFFFFFFu},
        {L"0x0", 0u},                 {L"0", 0u},                   {L"0xFFFFFFFF", 0xFFFFFFFFu},
        {L"0x00000000001", 1u},       {L"0000000001", 1u},
    };
    for (const auto& [text, expected] : valid) {
        std::uint32_t value = 0xDEADu;
        EXPECT_TRUE(ParseCrc32Text(text, value)) << text;
        EXPECT_EQ(value, expected) << text;
    }
    for (const std::wstring text : {L"", L"   ", L"0x", L"1A2B3C4", L"-5", L"+5", L"4294967296",
                                    L"0x100000000", L"ABCDEFG1", L"12 34", L"99999999999999999999999",
                                    L"0x-1", L"１２３"}) {
        std::uint32_t value = 0;
        EXPECT_FALSE(ParseCrc32Text(text, value)) << text;
    }
}

TEST(Manifest, ReadIniStringIsOneTrimmedLookup)
{
    probe::TempDir dir;
    probe::WriteFileBytes(dir / L"a.ini", "[Set]\nCount =  \t 42 \t\n[up]\nFile1=\" spaced \"\n");
    EXPECT_EQ(ReadIniString(dir / L"a.ini", L"set", L"COUNT"), L"42");
    EXPECT_EQ(ReadIniString(dir / L"a.ini", L"up", L"File1"), L"spaced");
    EXPECT_EQ(ReadIniString(dir / L"a.ini", L"up", L"File2"), L"");
    EXPECT_EQ(ReadIniString(dir / L"a.ini", L"none", L"Count"), L"");
    EXPECT_EQ(ReadIniString(dir / L"missing.ini", L"Set", L"Count"), L"");
}

namespace {

// The manifest generator is a Python tool, run through the build machine's shell.
std::string UnixPath(const std::wstring& windowsPath)
{
    return WideToUtf8(probe::UnixPathOf(windowsPath));
}

std::string Quoted(const std::string& text)
{
    return "'" + text + "'";
}

}

TEST(ManifestGenerator, WritesAManifestTheLauncherAccepts)
{
    const std::wstring tool = probe::FindTool(L"make_manifest.py");
    ASSERT_FALSE(tool.empty());
    probe::TempDir work;
    const std::wstring client = work / L"client";
    for (const wchar_t* folder : {L"client", L"client\\Data", L"client\\Data\\Player", L"client\\数据"})
        ASSERT_TRUE(CreateDirectoryW((work / folder).c_str(), nullptr));
    probe::WriteFileBytes(client + L"\\Main.exe", "");
    probe::WriteFileBytes(client + L"\\Data\\Player\\player.bmd", "123456789");
    probe::WriteFileBytes(client + L"\\数据\\玩家 一.bmd", std::string(65537, 'x'));
    probe::WriteFileBytes(client + L"\\'quoted'", "q");
    probe::WriteFileBytes(client + L"\\Data\\debug.log", "left out");

    ASSERT_EQ(probe::RunUnixShell(work, "python3 " + Quoted(UnixPath(tool)) + " client --exclude 'data/*.LOG'"), 0);
    const vorn::Result<std::vector<ManifestEntry>> parsed = ParseManifest(client + L"\\up.ini");
    ASSERT_TRUE(parsed) << parsed.message();
    const std::vector<ManifestEntry>& entries = *parsed;
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].localPath, L"'quoted'");
    EXPECT_EQ(entries[1].localPath, L"Data\\Player\\player.bmd");
    EXPECT_EQ(entries[1].crc32Hex, L"CBF43926");
    EXPECT_EQ(entries[2].localPath, L"Main.exe");
    EXPECT_EQ(entries[2].crc32Hex, L"00000000");
    EXPECT_EQ(entries[3].localPath, L"数据\\玩家 一.bmd");
    for (const ManifestEntry& entry : entries) {
        EXPECT_EQ(entry.remotePath, entry.localPath);
        const vorn::Result<std::uint32_t> crc = FileCrc32(client + L"\\" + entry.localPath);
        ASSERT_TRUE(crc) << entry.localPath;
        EXPECT_EQ(FormatCrc32(*crc), entry.crc32Hex) << entry.localPath;
    }
}

TEST(ManifestGenerator, RefusesWhatTheLauncherWouldRefuse)
{
    const std::wstring tool = probe::FindTool(L"make_manifest.py");
    ASSERT_FALSE(tool.empty());
    probe::TempDir work;
    // Names the Windows file functions would not even create are made by the shell.
    const int status = probe::RunUnixShell(
        work, "mkdir client && printf a > client/CON.txt && printf b > client/Main.exe && printf c > client/main.EXE"
              " && printf d > 'client/trailing.' && printf e > client/ok.bin\n"
              "python3 " + Quoted(UnixPath(tool)) + " client 2> refused.txt");
    EXPECT_EQ(status, 1);
    const std::string refused = probe::ReadFileBytes(work / L"refused.txt");
    EXPECT_NE(refused.find("refused CON.txt: component 'CON.txt' is a reserved device name"), std::string::npos);
    EXPECT_NE(refused.find("refused trailing.:"), std::string::npos);
    EXPECT_NE(refused.find("same path as"), std::string::npos);
    EXPECT_EQ(refused.find("ok.bin"), std::string::npos);
    EXPECT_FALSE(probe::FileExists(work / L"client\\up.ini"));
}

TEST(ManifestGenerator, IndexesLargeFilesForNewLaunchersWithoutChangingWhatOldOnesRead)
{
    const std::wstring tool = probe::FindTool(L"make_manifest.py");
    ASSERT_FALSE(tool.empty());
    probe::TempDir work;
    const std::wstring client = work / L"client";
    ASSERT_TRUE(CreateDirectoryW(client.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((client + L"\\数据").c_str(), nullptr));
    // Indexed from 1 MiB on: the archive and the file of exactly 1 MiB, not the two smaller ones.
    const std::map<std::wstring, std::string> files{
        {L"数据\\地图.pak", blocktest::RandomBytes((3u << 20) + 5, 41)},
        {L"exact.bin", blocktest::RandomBytes(1u << 20, 42)},
        {L"edge.bin", blocktest::RandomBytes((1u << 20) - 1, 43)},
        {L"small.bin", blocktest::RandomBytes(1000, 44)},
    };
    for (const auto& [path, bytes] : files)
        probe::WriteFileBytes(client + L"\\" + path, bytes);
    const std::string run = "python3 " + Quoted(UnixPath(tool)) + " client";

    ASSERT_EQ(probe::RunUnixShell(work, run), 0);
    const std::wstring manifest = client + L"\\up.ini";
    const vorn::Result<std::vector<ManifestEntry>> parsed = ParseManifest(manifest);
    ASSERT_TRUE(parsed) << parsed.message();
    const std::vector<ManifestEntry>& entries = *parsed;
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(ReadIniString(manifest, L"up", L"CFile4"), L"数据\\地图.pak");  // the system's reader too
    IniFile ini;
    ASSERT_TRUE(ini.Load(manifest));
    const std::vector<std::optional<BlockIndexRef>> refs = ReadBlockIndexRefs(ini, entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string& bytes = files.at(entries[i].localPath);
        ASSERT_EQ(refs[i].has_value(), bytes.size() >= (1u << 20)) << entries[i].localPath;
        if (!refs[i])
            continue;
        const std::string indexBytes = probe::ReadFileBytes(client + L"\\" + refs[i]->sitePath);
        EXPECT_EQ(indexBytes.size(), refs[i]->size);
        const vorn::Result<Sha256Digest> digest = Sha256Of(indexBytes);
        ASSERT_TRUE(digest) << digest.message();
        EXPECT_EQ(*digest, refs[i]->sha256);
        BlockIndex index;
        ASSERT_TRUE(ParseBlockIndex(indexBytes, index));
        EXPECT_EQ(index.fileSize, bytes.size());
        EXPECT_EQ(index.blockSize, 8192u);
        EXPECT_EQ(FormatCrc32(index.fileCrc32), entries[i].crc32Hex);
        // The tool's sums are the launcher's: the file itself holds every block where it stands.
        BlockMatcher matcher(index);
        matcher.Feed(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        matcher.Finish();
        EXPECT_EQ(matcher.FoundBytes(), bytes.size());
    }

    // Without indexes: the same entries for every launcher, the listed files only (the folder of indexes was no
    // file of the client), and the indexes no manifest lists any more are gone.
    ASSERT_EQ(probe::RunUnixShell(work, run + " --no-block-index"), 0);
    const vorn::Result<std::vector<ManifestEntry>> plainParsed = ParseManifest(manifest);
    ASSERT_TRUE(plainParsed) << plainParsed.message();
    const std::vector<ManifestEntry>& plain = *plainParsed;
    ASSERT_EQ(plain.size(), entries.size());
    for (std::size_t i = 0; i < plain.size(); ++i) {
        EXPECT_EQ(plain[i].remotePath, entries[i].remotePath);
        EXPECT_EQ(plain[i].crc32Hex, entries[i].crc32Hex);
    }
    ASSERT_TRUE(ini.Load(manifest));
    EXPECT_EQ(ini.Get(L"Blocks", L"Index1"), L"");
    EXPECT_FALSE(probe::FileExists(client + L"\\up.ini.blocks"));
}
