#include "update/verified_record.h"

#include "update/crc32_compute.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const FolderIdentity kFolder{L"C:\\Games\\Vorn", 0x5A000000u, 0x00A7E001u};
constexpr std::int64_t kMoment = 134'000'000'000'000'000;

VerifiedRecord SampleRecord()
{
    VerifiedRecord record{L"1.0.0", kFolder, kMoment, {}};
    record.files.push_back(
        {L"Main.exe", {1'234'567, kMoment - 50'000'000, kMoment - 40'000'000, 0xA7E002u}, 0x1A2B3C4Du});
    // Over 4 GiB, a path with spaces and characters outside ASCII, a checksum of 0.
    record.files.push_back({L"Data\\地图 1\\world.pak", {5'000'000'000ull, 1, 2, 0xFFFF'FFFF'FFFF'FFFFull}, 0u});
    return record;
}

std::string Serialized(const VerifiedRecord& record)
{
    const std::optional<std::string> bytes = SerializeVerifiedRecord(record);
    EXPECT_TRUE(bytes.has_value());
    return bytes.value_or("");
}

// Body lines sealed with a correct end line, as only a writer that means it could make them.
std::string Sealed(const std::string& body, std::size_t files)
{
    char crc[9];
    std::snprintf(crc, sizeof(crc), "%08X", static_cast<unsigned>(Crc32(0, body.data(), body.size())));
    return body + "end " + std::to_string(files) + " " + crc + "\n";
}

std::optional<VerifiedRecord> Parse(const std::string& bytes, const FolderIdentity& folder = kFolder,
                                    std::wstring_view launcher = L"1.0.0", std::int64_t now = kMoment)
{
    return ParseVerifiedRecord(bytes, launcher, folder, now);
}

}

TEST(VerifiedRecord, ReadsBackWhatItWrote)
{
    VerifiedRecord record = SampleRecord();
    // A path that would break its line is left out: that file is read at every check.
    record.files.push_back({L"Data\\two\nlines", {}, 0});
    const std::optional<VerifiedRecord> parsed =
        Parse(Serialized(record), {L"c:\\games\\VORN", 0x5A000000u, 0xA7E001u});
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->moment, kMoment);
    ASSERT_EQ(parsed->files.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(parsed->files[i].localPath, record.files[i].localPath);
        EXPECT_EQ(parsed->files[i].stamp, record.files[i].stamp);
        EXPECT_EQ(parsed->files[i].crc32, record.files[i].crc32);
    }
    record.launcher = L"1.0.0\nfile";
    EXPECT_FALSE(SerializeVerifiedRecord(record).has_value());
}

TEST(VerifiedRecord, IsIgnoredWholeWhenItBelongsElsewhere)
{
    const std::string bytes = Serialized(SampleRecord());
    EXPECT_TRUE(Parse(bytes).has_value());
    EXPECT_FALSE(Parse(bytes, kFolder, L"1.0.1").has_value());
    EXPECT_FALSE(Parse(bytes, {L"D:\\Vorn", kFolder.volumeSerial, kFolder.folderId}).has_value());
    EXPECT_FALSE(Parse(bytes, {kFolder.path, kFolder.volumeSerial + 1, kFolder.folderId}).has_value());
    EXPECT_FALSE(Parse(bytes, {kFolder.path, kFolder.volumeSerial, kFolder.folderId + 1}).has_value());
    // The clock went back since the record was made.
    EXPECT_FALSE(Parse(bytes, kFolder, L"1.0.0", kMoment - 1).has_value());
}

TEST(VerifiedRecord, DamageTruncationAndForeignFormatsAreIgnoredWhole)
{
    const std::string bytes = Serialized(SampleRecord());
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        std::string damaged = bytes;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x04);
        EXPECT_FALSE(Parse(damaged).has_value()) << "damaged at " << at;
        EXPECT_FALSE(Parse(bytes.substr(0, at)).has_value()) << "cut at " << at;
    }
    EXPECT_FALSE(Parse(bytes + "file 00000000 1 1 1 0000000000000001 extra\n").has_value());

    // Sealed as a writer would seal them, yet not this format: another version, a path twice, a field missing.
    const std::string head = "launcher 1.0.0\nfolder 5A000000 0000000000A7E001 C:\\Games\\Vorn\nmoment 1\n";
    const std::string line = "file 00000000 1 1 1 0000000000000001 a.bin\n";
    EXPECT_TRUE(Parse(Sealed("vorn-verified-files 1\n" + head + line, 1)).has_value());
    EXPECT_FALSE(Parse(Sealed("vorn-verified-files 2\n" + head + line, 1)).has_value());
    EXPECT_FALSE(Parse(Sealed("vorn-verified-files 1\n" + head + line + "file 00000000 1 1 1 0000000000000001 A.BIN\n",
                              2)).has_value());
    EXPECT_FALSE(Parse(Sealed("vorn-verified-files 1\n" + head + "file 00000000 1 1 0000000000000001 a.bin\n", 1))
                     .has_value());
}

TEST(VerifiedRecord, NothingPastTheCapIsWrittenOrRead)
{
    VerifiedRecord record = SampleRecord();
    record.files.push_back({std::wstring(kMaxVerifiedRecordBytes / 2, L'a'), {}, 0});
    EXPECT_TRUE(SerializeVerifiedRecord(record).has_value());
    record.files.push_back({std::wstring(kMaxVerifiedRecordBytes / 2, L'b'), {}, 0});
    EXPECT_FALSE(SerializeVerifiedRecord(record).has_value());

    // Sealed by hand to one byte past the cap, whole in every other way; one byte shorter is read.
    const std::string head = "vorn-verified-files 1\nlauncher 1.0.0\nfolder 5A000000 0000000000A7E001 C:\\Games\\Vorn\n"
                             "moment 1\nfile 00000000 1 1 1 0000000000000001 ";
    const std::size_t fixed = head.size() + std::string("\nend 1 00000000\n").size();
    const std::string past = Sealed(head + std::string(kMaxVerifiedRecordBytes + 1 - fixed, 'c') + "\n", 1);
    ASSERT_EQ(past.size(), kMaxVerifiedRecordBytes + 1);
    EXPECT_FALSE(Parse(past).has_value());
    EXPECT_TRUE(Parse(Sealed(head + std::string(kMaxVerifiedRecordBytes - fixed, 'c') + "\n", 1)).has_value());
}

TEST(VerifiedRecord, TrustsOnlyAStampThatIsUnchangedAndSettled)
{
    const VerifiedFile remembered{L"a.bin", {4096, kMoment - 3 * kRacyMargin, kMoment - 2 * kRacyMargin, 77}, 0xCAFEu};
    const FileStamp same = remembered.stamp;
    EXPECT_TRUE(MayTrust(remembered, same, kMoment));
    // Any value that moved: the file is read.
    FileStamp moved[4] = {same, same, same, same};
    moved[0].size += 1;
    moved[1].written += 1;
    moved[2].changed += 1;
    moved[3].fileId += 1;
    for (const FileStamp& stamp : moved)
        EXPECT_FALSE(MayTrust(remembered, stamp, kMoment));
    // A file system without a file id or a change time says too little.
    for (const FileStamp weak :
         {FileStamp{4096, same.written, same.changed, 0}, FileStamp{4096, same.written, 0, 77}}) {
        VerifiedFile alike = remembered;
        alike.stamp = weak;
        EXPECT_FALSE(MayTrust(alike, weak, kMoment));
    }
    // Written or changed within the margin before the record's moment: a write in the same tick after the read
    // would not have moved them.
    EXPECT_TRUE(MayTrust(remembered, same, same.changed + kRacyMargin));
    EXPECT_FALSE(MayTrust(remembered, same, same.changed + kRacyMargin - 1));
    VerifiedFile written = remembered;
    written.stamp.written = kMoment - kRacyMargin + 1;
    EXPECT_FALSE(MayTrust(written, written.stamp, kMoment));
}

TEST(VerifiedRecord, LooksUpPathsIgnoringCase)
{
    const VerifiedRecord record = SampleRecord();
    const VerifiedFiles files(record);
    EXPECT_EQ(files.TrustedCrc(L"MAIN.EXE", record.files[0].stamp), 0x1A2B3C4Du);
    EXPECT_FALSE(files.TrustedCrc(L"Main.exe", std::nullopt).has_value());
    EXPECT_FALSE(files.TrustedCrc(L"Other.exe", record.files[0].stamp).has_value());
    EXPECT_EQ(files.Count(), 2u);
    EXPECT_FALSE(VerifiedFiles().TrustedCrc(L"Main.exe", record.files[0].stamp).has_value());
}
