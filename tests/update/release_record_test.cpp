#include "update/release_record.h"

#include "tests/support/process_probe.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

// Keys and records the signing tool made before this test ran (signed_sites).
std::wstring SignedSites()
{
    return fs::weakly_canonical(fs::path(probe::BinDir()) / L".." / L"signed-sites").wstring();
}

EcdsaP256PublicKey PublicKey()
{
    std::string text = probe::ReadFileBytes(SignedSites() + L"\\public-key.txt");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    const std::optional<EcdsaP256PublicKey> key = ParseUpdatePublicKey(std::wstring(text.begin(), text.end()));
    if (!key)
        throw std::runtime_error("no public key in signed-sites");
    return *key;
}

std::string SignedRecord(const std::wstring& site = L"signed")
{
    return probe::ReadFileBytes(SignedSites() + L"\\" + site + L"\\up.ini.sig");
}

// The record a test builds on: the test stops when it does not read.
ReleaseRecord Parsed(const std::string& bytes)
{
    vorn::Result<ReleaseRecord> record = ParseReleaseRecord(bytes);
    EXPECT_TRUE(record) << record.message();
    return record ? std::move(*record) : ReleaseRecord{};
}

}

TEST(ReleaseSignature, TheSystemConfirmsWhatTheToolSignedAndNothingElse)
{
    const EcdsaP256PublicKey key = PublicKey();
    const std::string bytes = SignedRecord();
    const ReleaseRecord record = Parsed(bytes);
    EXPECT_TRUE(VerifyReleaseSignature(bytes, record, key));

    std::string flipped = bytes;
    flipped[bytes.find("release 7") + 8] ^= 0x01;  // "release 6": a well-formed record the signature does not cover
    const ReleaseRecord altered = Parsed(flipped);
    EXPECT_EQ(altered.release, 6u);
    EXPECT_FALSE(VerifyReleaseSignature(flipped, altered, key));

    ReleaseRecord badSignature = record;
    badSignature.signature[40] ^= 0x80;
    EXPECT_FALSE(VerifyReleaseSignature(bytes, badSignature, key));

    const std::string otherBytes = SignedRecord(L"other-key");
    const ReleaseRecord other = Parsed(otherBytes);
    EXPECT_FALSE(VerifyReleaseSignature(otherBytes, other, key));

    EcdsaP256PublicKey offCurve = key;
    offCurve[64] ^= 0x01;
    EXPECT_FALSE(VerifyReleaseSignature(bytes, record, offCurve));
}

namespace {

const std::string kDigest(64, 'a');
const std::string kSignature = "signature " + std::string(128, '0') + "\n";
const std::string kHead = "vorn-release-record 1\nrelease 7\nmanifest 221 " + kDigest + "\n";
const std::string kZeros(64, '0');
const std::string kSigned = "file 0 " + kZeros + " vorn:signed 1767225600 valid 2592000\n";

std::wstring ParseError(const std::string& bytes)
{
    const vorn::Result<ReleaseRecord> record = ParseReleaseRecord(bytes);
    return record ? L"accepted" : record.message();
}

}

TEST(ReleaseRecord, ReadsTheToolsRecord)
{
    const std::string bytes = SignedRecord();
    const ReleaseRecord record = Parsed(bytes);
    EXPECT_EQ(record.release, 7u);
    const std::string manifest = probe::ReadFileBytes(SignedSites() + L"\\signed\\up.ini");
    EXPECT_EQ(record.manifestSize, manifest.size());
    EXPECT_EQ(record.manifestSha256, *Sha256Of(manifest));
    ASSERT_EQ(record.files.size(), 3u);  // the signing time is no file
    ASSERT_TRUE(record.freshness);
    EXPECT_EQ(record.freshness->validFor, 30u * 86400u);
    EXPECT_EQ(record.files[1].sitePath, L"Data/地图/lorencia.map");
    EXPECT_EQ(record.files[1].size, 70000u);
    const std::string map = probe::ReadFileBytes(SignedSites() + L"\\signed\\Data\\地图\\lorencia.map");
    EXPECT_EQ(record.files[1].sha256, *Sha256Of(map));
    EXPECT_EQ(record.signedLength, bytes.find("signature "));
}

TEST(ReleaseRecord, RefusesAnythingButItsExactForm)
{
    const std::string file = "file 31 " + kDigest + " Data/a b.txt\n";
    EXPECT_EQ(ParseError(kHead + file + kSignature), L"accepted");
    EXPECT_EQ(ParseError(kHead + kSignature), L"accepted");  // a release of no files

    // The signing time, and a field of some later tool, are read apart from the files.
    const std::string later = "file 0 " + kZeros + " vorn:mirror https://example.com/\n";
    const ReleaseRecord fresh = Parsed(kHead + file + kSigned + later + kSignature);
    ASSERT_TRUE(fresh.freshness);
    EXPECT_EQ(fresh.freshness->signedAt, 1767225600u);
    EXPECT_EQ(fresh.freshness->validFor, 2592000u);
    ASSERT_EQ(fresh.files.size(), 1u);
    EXPECT_EQ(fresh.files[0].sitePath, L"Data/a b.txt");

    const auto line = [](int n) { return L"更新签名记录第 " + std::to_wstring(n) + L" 行无效，已拒绝安装。"; };
    const std::string signatureLine = kSignature.substr(0, kSignature.size() - 1);
    const struct {
        const char* what;
        std::string bytes;
        int line;
    } cases[] = {
        {"empty", "", 1},
        {"another format", "vorn-release-record 2\n" + kHead.substr(22) + kSignature, 1},
        {"CR LF", "vorn-release-record 1\r\nrelease 7\r\n", 1},
        {"release 0", "vorn-release-record 1\nrelease 0\n", 2},
        {"leading zero", "vorn-release-record 1\nrelease 07\n", 2},
        {"past 2^63 - 1", "vorn-release-record 1\nrelease 9223372036854775808\n", 2},
        {"sign", "vorn-release-record 1\nrelease +7\n", 2},
        {"upper-case digest", "vorn-release-record 1\nrelease 7\nmanifest 221 " + std::string(64, 'A') + "\n", 3},
        {"short digest", "vorn-release-record 1\nrelease 7\nmanifest 221 " + std::string(63, 'a') + "\n", 3},
        {"two spaces", kHead + "file 31  " + kDigest + " a.txt\n" + kSignature, 4},
        {"no site path", kHead + "file 31 " + kDigest + " \n" + kSignature, 4},
        {"control character", kHead + "file 31 " + kDigest + " a\tb\n" + kSignature, 4},
        {"not UTF-8", kHead + "file 31 " + kDigest + " a\xff.txt\n" + kSignature, 4},
        {"long site path", kHead + "file 31 " + kDigest + " " + std::string(kMaxReleaseSitePathBytes + 1, 'a') +
                               "\n" + kSignature, 4},
        {"unknown line", kHead + "comment 1\n" + kSignature, 4},
        {"repeated site path", kHead + file + file + kSignature, 5},
        {"repeated after the signing time", kHead + kSigned + file + file + kSignature, 6},
        {"short signature", kHead + "signature " + std::string(126, '0') + "\n", 4},
        {"no signature", kHead + file, 5},
        {"unended signature line", kHead + signatureLine, 4},
        {"after the signature", kHead + kSignature + file, 5},
        {"two signing times", kHead + kSigned + file + kSigned + kSignature, 6},
        {"signing time with a size", kHead + "file 1 " + kZeros + " vorn:signed 1 valid 2\n" + kSignature, 4},
        {"signing time with a digest", kHead + "file 0 " + kDigest + " vorn:signed 1 valid 2\n" + kSignature, 4},
        {"no validity", kHead + "file 0 " + kZeros + " vorn:signed 1\n" + kSignature, 4},
        {"other word", kHead + "file 0 " + kZeros + " vorn:signed 1 until 2\n" + kSignature, 4},
        {"signing time past 2^63 - 1",
         kHead + "file 0 " + kZeros + " vorn:signed 9223372036854775808 valid 2\n" + kSignature, 4},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseError(c.bytes), line(c.line)) << c.what;

    // The fields count among the files, as every launcher counts them.
    std::string files = kSigned;
    for (std::size_t n = 1; n < kMaxReleaseRecordFiles; ++n)
        files += "file 1 " + kDigest + " " + std::to_string(n) + "\n";
    EXPECT_EQ(ParseError(kHead + files + kSignature), L"accepted");
    files += "file 1 " + kDigest + " last\n";
    EXPECT_EQ(ParseError(kHead + files + kSignature), line(static_cast<int>(kMaxReleaseRecordFiles) + 4));
    files.resize(kMaxReleaseRecordBytes + 1 - kHead.size() - kSignature.size(), 'a');
    EXPECT_EQ(ParseError(kHead + files + kSignature), L"更新签名记录过大，已拒绝安装。");
}

TEST(ReleaseRecord, PublicKeySettingIsTheUncompressedPointInHexadecimal)
{
    const std::wstring point = L"04" + std::wstring(128, L'c');
    ASSERT_TRUE(ParseUpdatePublicKey(point).has_value());
    EXPECT_EQ((*ParseUpdatePublicKey(L"04" + std::wstring(128, L'C')))[1], 0xCC);
    EXPECT_FALSE(ParseUpdatePublicKey(L"").has_value());
    EXPECT_FALSE(ParseUpdatePublicKey(L"03" + std::wstring(128, L'c')).has_value());  // not uncompressed
    EXPECT_FALSE(ParseUpdatePublicKey(point + L"c").has_value());
    EXPECT_FALSE(ParseUpdatePublicKey(L"04" + std::wstring(127, L'c') + L"\x0663").has_value());
}

TEST(Sha256, KnownDigestsWholeAndInPieces)
{
    const std::string abc = "abc";
    const Sha256Digest expected = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                   0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                   0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    EXPECT_EQ(*Sha256Of(abc), expected);
    Sha256Hasher hasher;
    hasher.Add("a", 1);
    hasher.Add("bc", 2);
    EXPECT_EQ(*hasher.Finish(), expected);
    hasher.Add(abc.data(), abc.size());  // starts again after Finish
    EXPECT_EQ(*hasher.Finish(), expected);
}
