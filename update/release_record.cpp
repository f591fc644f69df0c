#include "update/release_record.h"

#include "base/text.h"

#include <span>
#include <unordered_set>

namespace {

constexpr std::string_view kFormatLine = "vorn-release-record 1";
constexpr std::uint64_t kMaxNumber = 9223372036854775807ull;  // 2^63 - 1, what the tool writes at most

const wchar_t kTooLargeMessage[] = L"更新签名记录过大，已拒绝安装。";

std::wstring LineMessage(std::size_t line)
{
    return L"更新签名记录第 " + std::to_wstring(line) + L" 行无效，已拒绝安装。";
}

unsigned Unit(char c)
{
    return static_cast<unsigned char>(c);
}

unsigned Unit(wchar_t c)
{
    return static_cast<unsigned>(c);
}

int HexValue(unsigned c, bool anyCase)
{
    if (c >= '0' && c <= '9')
        return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<int>(c - 'a' + 10);
    if (anyCase && c >= 'A' && c <= 'F')
        return static_cast<int>(c - 'A' + 10);
    return -1;
}

template <typename Text>
bool DecodeHex(Text text, std::span<std::uint8_t> out, bool anyCase)
{
    if (text.size() != out.size() * 2)
        return false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int high = HexValue(Unit(text[2 * i]), anyCase);
        const int low = HexValue(Unit(text[2 * i + 1]), anyCase);
        if (high < 0 || low < 0)
            return false;
        out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

// Splits off the text up to the next space; false when there is none.
bool TakeField(std::string_view& rest, std::string_view& field)
{
    const std::size_t space = rest.find(' ');
    if (space == std::string_view::npos)
        return false;
    field = rest.substr(0, space);
    rest.remove_prefix(space + 1);
    return true;
}

bool TakeKeyword(std::string_view& line, std::string_view keyword)
{
    if (line.size() <= keyword.size() || line.substr(0, keyword.size()) != keyword || line[keyword.size()] != ' ')
        return false;
    line.remove_prefix(keyword.size() + 1);
    return true;
}

// "<size> <sha256>" and, with `rest`, whatever follows after one more space.
bool ParseSizeAndDigest(std::string_view line, std::uint64_t& size, Sha256Digest& digest, std::string_view* rest)
{
    std::string_view sizeText;
    if (!TakeField(line, sizeText) || !ParseReleaseNumber(sizeText, size))
        return false;
    std::string_view digestText = line;
    if (rest != nullptr && !TakeField(line, digestText))
        return false;
    if (rest != nullptr)
        *rest = line;
    return DecodeHex(digestText, digest, false);
}

constexpr std::string_view kFieldPrefix = "vorn:";
constexpr std::string_view kSignedField = "vorn:signed ";

bool IsZero(const Sha256Digest& digest)
{
    for (const std::uint8_t byte : digest) {
        if (byte != 0)
            return false;
    }
    return true;
}

// "vorn:signed <seconds> valid <seconds>" on a line "file 0 <64 zeros> ..."; a second one is refused.
bool ParseFreshness(const ReleaseFile& line, std::string_view path, std::optional<ReleaseFreshness>& freshness)
{
    if (freshness || line.size != 0 || !IsZero(line.sha256) || !path.starts_with(kSignedField))
        return false;
    path.remove_prefix(kSignedField.size());
    std::string_view signedAt;
    std::string_view keyword;
    ReleaseFreshness read;
    if (!TakeField(path, signedAt) || !TakeField(path, keyword) || keyword != "valid" ||
        !ParseReleaseNumber(signedAt, read.signedAt) || !ParseReleaseNumber(path, read.validFor))
        return false;
    freshness = read;
    return true;
}

bool ParseSitePath(std::string_view text, std::wstring& path)
{
    if (text.empty() || text.size() > kMaxReleaseSitePathBytes)
        return false;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return false;
    }
    path = Utf8ToWide(text);
    return !path.empty();
}

}

vorn::Result<ReleaseRecord> ParseReleaseRecord(std::string_view bytes)
{
    if (bytes.size() > kMaxReleaseRecordBytes)
        return vorn::Failure{kTooLargeMessage};
    ReleaseRecord parsed;
    std::vector<std::size_t> fileLines;  // the line of each file, for the message about a repeated one
    std::size_t fileLineCount = 0;       // the fields too: a launcher that knows none of them counts them
    std::size_t offset = 0;
    std::size_t lineNumber = 0;
    bool signatureSeen = false;
    while (offset < bytes.size()) {
        ++lineNumber;
        const std::size_t end = bytes.find('\n', offset);
        if (end == std::string_view::npos || signatureSeen)
            return vorn::Failure{LineMessage(lineNumber)};
        std::string_view line = bytes.substr(offset, end - offset);
        bool ok = false;
        if (lineNumber == 1) {
            ok = line == kFormatLine;
        } else if (lineNumber == 2) {
            ok = TakeKeyword(line, "release") && ParseReleaseNumber(line, parsed.release) && parsed.release > 0;
        } else if (lineNumber == 3) {
            ok = TakeKeyword(line, "manifest") &&
                 ParseSizeAndDigest(line, parsed.manifestSize, parsed.manifestSha256, nullptr);
        } else if (TakeKeyword(line, "signature")) {
            ok = DecodeHex(line, parsed.signature, false);
            parsed.signedLength = offset;
            signatureSeen = true;
        } else if (TakeKeyword(line, "file") && fileLineCount < kMaxReleaseRecordFiles) {
            ++fileLineCount;
            ReleaseFile file;
            std::string_view path;
            ok = ParseSizeAndDigest(line, file.size, file.sha256, &path) && ParseSitePath(path, file.sitePath);
            if (ok && path.starts_with(kFieldPrefix)) {
                // A field this launcher does not know is a later tool's business; it is signed all the same.
                ok = !path.starts_with(kSignedField) || ParseFreshness(file, path, parsed.freshness);
            } else if (ok) {
                parsed.files.push_back(std::move(file));
                fileLines.push_back(lineNumber);
            }
        }
        if (!ok)
            return vorn::Failure{LineMessage(lineNumber)};
        offset = end + 1;
    }
    if (!signatureSeen)
        return vorn::Failure{LineMessage(lineNumber + 1)};
    // The paths are in their final place now, so views of them stay valid while the set lives.
    std::unordered_set<std::wstring_view> sitePaths;
    for (std::size_t i = 0; i < parsed.files.size(); ++i) {
        if (!sitePaths.insert(parsed.files[i].sitePath).second)
            return vorn::Failure{LineMessage(fileLines[i])};
    }
    return parsed;
}

bool VerifyReleaseSignature(std::string_view bytes, const ReleaseRecord& record, const EcdsaP256PublicKey& key)
{
    return record.signedLength <= bytes.size() &&
           VerifyEcdsaP256Sha256(key, bytes.substr(0, record.signedLength), record.signature);
}

std::optional<EcdsaP256PublicKey> ParseUpdatePublicKey(std::wstring_view text)
{
    EcdsaP256PublicKey key{};
    if (!DecodeHex(text, key, true) || key[0] != 0x04)
        return std::nullopt;
    return key;
}

bool ParseReleaseNumber(std::string_view text, std::uint64_t& value)
{
    if (text.empty() || (text.size() > 1 && text[0] == '0'))
        return false;
    std::uint64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (result > (kMaxNumber - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    value = result;
    return true;
}
