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

}

TEST(ReleaseSignature, TheSystemConfirmsWhatTheToolSignedAndNothingElse)
{
    const EcdsaP256PublicKey key = PublicKey();
    const std::string bytes = SignedRecord();
    ReleaseRecord record;
    std::wstring error;
    ASSERT_TRUE(ParseReleaseRecord(bytes, record, error)) << error;
    EXPECT_TRUE(VerifyReleaseSignature(bytes, record, key));

    std::string flipped = bytes;
    flipped[bytes.find("release 7") + 8] ^= 0x01;  // "release 6": a well-formed record the signature does not cover
    ReleaseRecord altered;
    ASSERT_TRUE(ParseReleaseRecord(flipped, altered, error)) << error;
    EXPECT_EQ(altered.release, 6u);
    EXPECT_FALSE(VerifyReleaseSignature(flipped, altered, key));

    ReleaseRecord badSignature = record;
    badSignature.signature[40] ^= 0x80;
    EXPECT_FALSE(VerifyReleaseSignature(bytes, badSignature, key));

    const std::string otherBytes = SignedRecord(L"other-key");
    ReleaseRecord other;
    ASSERT_TRUE(ParseReleaseRecord(otherBytes, other, error)) << error;
    EXPECT_FALSE(VerifyReleaseSignature(otherBytes, other, key));

    EcdsaP256PublicKey offCurve = key;
    offCurve[64] ^= 0x01;
    EXPECT_FALSE(VerifyReleaseSignature(bytes, record, offCurve));
}
