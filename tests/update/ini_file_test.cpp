#include "update/ini_file.h"

#include "tests/support/process_probe.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

// The table must answer every lookup exactly as the system's profile reader answers it for the same file. Under
// Wine that reader is Wine's; where Windows' reader may behave otherwise it is noted in ini_file.h.

namespace {

std::wstring PlatformValue(const std::wstring& file, const std::wstring& section, const std::wstring& key)
{
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetPrivateProfileStringW(section.c_str(), key.c_str(), L"", buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), file.c_str());
    buffer.resize(length);
    return buffer;
}

std::string Utf16Bytes(const std::wstring& text, bool bigEndian)
{
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const wchar_t c : text) {
        const char high = static_cast<char>(c >> 8);
        const char low = static_cast<char>(c & 0xFF);
        bytes += bigEndian ? high : low;
        bytes += bigEndian ? low : high;
    }
    return bytes;
}

std::string Utf8Bytes(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), length, nullptr,
                        nullptr);
    return bytes;
}

// The text in the ANSI code page, or "" when some character has no exact form there.
std::string AnsiBytes(const std::wstring& text)
{
    if (text.empty())
        return {};
    BOOL lossy = FALSE;
    const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, &lossy);
    std::string bytes(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()), bytes.data(),
                        length, nullptr, &lossy);
    return lossy ? std::string() : bytes;
}

class DifferentialTest : public ::testing::Test {
protected:
    // Writes the file and holds the table's answers against the system reader's for every pair of names.
    void ExpectSameAnswers(const std::string& bytes, const std::vector<std::wstring>& sections,
                           const std::vector<std::wstring>& keys, const std::string& label)
    {
        const std::wstring file = dir_ / (L"t" + std::to_wstring(++files_) + L".ini");
        probe::WriteFileBytes(file, bytes);
        IniFile ini;
        ASSERT_TRUE(ini.Load(file));
        for (const std::wstring& section : sections) {
            for (const std::wstring& key : keys) {
                const std::wstring expected = PlatformValue(file, section, key);
                const std::wstring actual(ini.Get(section, key));
                ASSERT_EQ(actual, expected) << label << " [" << testing::PrintToString(section) << "] "
                                            << testing::PrintToString(key) << " (" << expected.size() << " vs "
                                            << actual.size() << ")";
                ++lookups_;
                answered_ += expected.empty() ? 0 : 1;
            }
        }
    }

    probe::TempDir dir_;
    int files_ = 0;
    int lookups_ = 0;
    int answered_ = 0;  // lookups that found a non-empty value
};

const std::vector<std::wstring> kSectionNames = {L"Set", L"set", L" SET ", L"up", L"UP", L"", L"a b", L"\x00E9",
                                                 L"\x00C9", L"数据", L";Set", L"Set]"};
const std::vector<std::wstring> kKeyNames = {
    L"Count", L"count", L"COUNT ", L"File1", L"file1", L"CFile1", L"XYZ1", L"x", L"", L";x", L"#x",
    L"\x00E9", L"\x00C9", L"键", L"k\x212A", L"kk", L"a b", L"[up", L"\x00A0x", L"File2"};

std::wstring Pick(std::mt19937& random, const std::vector<std::wstring>& choices)
{
    return choices[random() % choices.size()];
}

std::wstring RandomValue(std::mt19937& random)
{
    static const std::vector<std::wstring> pieces = {
        L"",     L"v",      L" v ",       L"\"v\"",         L"'v'",       L"\"v",        L"\"v'",  L"\"\"",
        L"\"",   L"'",      L"a\"b\"",    L"  \"q\"  ",     L"\x00A0v\x00A0", L"\x3000v", L"v\x1A", L"\x1Av",
        L"中文值", L"C:\\x\\y", L"a;b # c", L"=",            L"\tv\t",     L"\x0085v",   L"a\x0B" L"b", L"1a2b3c4d",
        L"\x00E9\x00C9", std::wstring(L"a\0b", 3), L"\xFEFFv"};
    std::wstring value = Pick(random, pieces);
    if (random() % 4 == 0)
        value += Pick(random, pieces);
    if (random() % 40 == 0) {
        // Around the 32767-character cut, with and without quotes.
        const std::size_t length = 32764 + random() % 6;
        value = random() % 2 ? L"\"" + std::wstring(length, L'q') + L"\"" : std::wstring(length, L'q');
    }
    return value;
}

std::wstring RandomLine(std::mt19937& random)
{
    static const std::vector<std::wstring> separators = {L"=", L" = ", L"\t=", L"= \t", L"  =", L"=="};
    static const std::vector<std::wstring> others = {L"", L"   ", L"; comment", L"# note", L"<html><body>",
                                                     L"]", L"[", L"\x1A", L"garbage without equals"};
    switch (random() % 10) {
    case 0:
    case 1: {
        const std::wstring name = Pick(random, kSectionNames);
        static const std::vector<std::wstring> forms = {L"[%]", L"[%] trailing", L"[%", L" [ % ] ", L"[[%]]"};
        std::wstring form = Pick(random, forms);
        return form.replace(form.find(L'%'), 1, name);
    }
    case 2:
        return Pick(random, others);
    case 3:
        return Pick(random, kKeyNames);
    default:
        return Pick(random, kKeyNames) + Pick(random, separators) + RandomValue(random);
    }
}

}

TEST_F(DifferentialTest, GeneratedFilesInEveryEncoding)
{
    static const std::vector<std::wstring> endings = {L"\n", L"\r\n", L"\r", L"\n\r", L"\r\r\n"};
    std::mt19937 random(20261208);
    for (int round = 0; round < 240; ++round) {
        std::wstring text;
        const int lines = 1 + static_cast<int>(random() % 24);
        for (int i = 0; i < lines; ++i)
            text += RandomLine(random) + (i + 1 < lines || random() % 2 ? Pick(random, endings) : L"");
        std::string bytes;
        std::string encoding;
        switch (round % 5) {
        case 0:
            bytes = Utf16Bytes(text, false), encoding = "utf-16le";
            break;
        case 1:
            bytes = Utf16Bytes(text, true), encoding = "utf-16be";
            break;
        case 2:
            bytes = "\xEF\xBB\xBF" + Utf8Bytes(text), encoding = "utf-8 with mark";
            break;
        case 3:
            bytes = Utf8Bytes(text), encoding = "utf-8 without mark";
            break;
        default:
            bytes = AnsiBytes(text), encoding = "ansi";
            if (bytes.empty() && !text.empty())
                bytes = Utf16Bytes(text, false), encoding = "utf-16le";
            break;
        }
        ExpectSameAnswers(bytes, kSectionNames, kKeyNames, "round " + std::to_string(round) + " " + encoding);
    }
    EXPECT_GT(lookups_, 50000);
    EXPECT_GT(answered_, 1800);
}

TEST_F(DifferentialTest, RandomBytes)
{
    // Junk of every kind: whatever the reader makes of it, the table must make the same.
    std::mt19937 random(77);
    const std::string alphabet = std::string("[]=;\"' \t\r\n\x1A\0\x80\xC3\xA9\xFF\xFE\xEF\xBB\xBF", 21) + "SetupCountFile1x";
    for (int round = 0; round < 60; ++round) {
        std::string bytes(random() % 200, '\0');
        for (char& c : bytes)
            c = round % 3 == 0 ? static_cast<char>(random()) : alphabet[random() % alphabet.size()];
        if (round % 4 == 1)
            bytes = "\xFF\xFE" + bytes;
        if (round % 4 == 2)
            bytes = "\xFE\xFF" + bytes + (bytes.size() % 2 ? "x" : "");
        if (bytes.rfind("\xFF\xFE", 0) == 0 && bytes.size() % 2 != 0)
            bytes += "x";  // an odd-length UTF-16 file ends in half a character, which the reader reads past
        ExpectSameAnswers(bytes, kSectionNames, kKeyNames, "random bytes " + std::to_string(round));
    }
}

TEST_F(DifferentialTest, HandMadeFiles)
{
    const std::vector<std::wstring> manifestKeys = {L"Count", L"File1", L"CFile1", L"XYZ1", L"File2", L"CFile2",
                                                    L"XYZ2", L"File3", L"x", L""};
    const std::vector<std::wstring> manifestSections = {L"Set", L"up", L"UP", L""};
    const std::pair<std::string, std::string> files[] = {
        {"html page", "<!DOCTYPE html>\n<html>\n<head><title>404 Not Found</title></head>\n<body>\n"
                      "<h1>Not Found</h1>\n<p>[Set]</p><p>Count=3</p>\n</body>\n</html>\n"},
        {"duplicates", "[Set]\nCount=1\nCount=2\n[up]\nFile1=a\n[SET]\nCount=9\n[up]\nFile1=b\nfile1=c\n"},
        {"spaces around =", "  [ Set ]  \n  Count   =   2   \n[up]\nFile1\t=\t\" a b \"\t\nCFile1 =\nXYZ1= '1'\n"},
        {"blank and comment lines", "\n\n; written by hand\n[Set]\n\n;Count=7\n# Count=8\nCount=3\n\n[up]\n;\n"},
        {"quotes", "[up]\nFile1=\"x\"\nCFile1='y'\nXYZ1=\"z'\nFile2=\"\"\nCFile2=\"\nXYZ2=\"a\"b\"\n"},
        {"no final line end", "[Set]\r\nCount=12"},
        {"old Mac line ends", "[Set]\rCount=4\r[up]\rFile1=a\r"},
        {"mixed line ends", "[Set]\rCount=4\n[up]\r\nFile1=a\n\rCFile1=b"},
        {"keys before any section", "Count=5\nx=1\n[Set]\nCount=6\n"},
        {"empty and blank section names", "[]\nx=1\n[ ]\nx=2\n[Set]\n[]\nCount=1\n"},
        {"key alone hides a later value", "[Set]\nCount\nCount=5\n[up]\nFile1=\nFile1=x\n"},
        {"unclosed headers", "[Set\nCount=1\n[Set]\nCount=2\n[up\n"},
        {"NUL inside", std::string("[Set]\nCount=1\0 2\n[u\0p]\nFile1=a\n[up]\nXYZ1\0junk=1\n", 45)},
        {"utf-8 text without a mark", "[up]\nFile1=数据/玩家.bmd\nCFile1=Data\\玩家.bmd\n"},
        {"utf-8 mark", "\xEF\xBB\xBF[Set]\nCount=1\n[up]\nFile1=\xE6\x95\xB0\n"},
        {"bad utf-8 after a mark", "\xEF\xBB\xBF[Set]\nCount=\xC3\x28\n[up]\nFile1=\xFF\xFE\n"},
        {"ansi text", "[up]\nFile1=caf\xE9\nCFile1=\x80\x81\x8D\nXYZ1=\xA0" "1\xA0\n"},
    };
    for (const auto& [label, bytes] : files)
        ExpectSameAnswers(bytes, manifestSections, manifestKeys, label);

    std::string longValues = "[up]\n";
    for (const std::size_t length : {32766u, 32767u, 32768u, 32769u, 100000u}) {
        const std::string n = std::to_string(length);
        longValues += "File" + n + "=" + std::string(length, 'v') + "\n";
        longValues += "CFile" + n + "=\"" + std::string(length - 1, 'q') + "\"\n";
        longValues += "XYZ" + n + "='" + std::string(length, 'q') + "'\n";
    }
    std::vector<std::wstring> longKeys;
    for (const wchar_t* stem : {L"File", L"CFile", L"XYZ"}) {
        for (const wchar_t* n : {L"32766", L"32767", L"32768", L"32769", L"100000"})
            longKeys.push_back(std::wstring(stem) + n);
    }
    ExpectSameAnswers(longValues, {L"up"}, longKeys, "very long values");

    // A real manifest of some size: every key of every entry.
    std::string manifest = "[Set]\r\nCount=1500\r\n[up]\r\n";
    std::vector<std::wstring> entryKeys;
    for (int n = 1; n <= 1500; ++n) {
        const std::string number = std::to_string(n);
        manifest += "File" + number + "=data/f" + number + ".bmd\r\nCFile" + number + "=Data\\f" + number +
                    ".bmd\r\nXYZ" + number + "=" + std::to_string(n * 7919) + "\r\n";
        if (n % 25 == 0) {
            for (const wchar_t* stem : {L"File", L"cfile", L"XYZ"})
                entryKeys.push_back(stem + std::to_wstring(n));
        }
    }
    entryKeys.push_back(L"File1501");
    ExpectSameAnswers(manifest, {L"Set", L"up"}, entryKeys, "manifest");
}

TEST(IniFile, MissingFilesReadAsEmpty)
{
    probe::TempDir dir;
    probe::WriteFileBytes(dir / L"up.ini", "[up]\nCFile1=x\n");
    IniFile ini;
    ASSERT_TRUE(ini.Load(dir / L"up.ini"));
    EXPECT_EQ(ini.Get(L"up", L"CFile1"), L"x");
    EXPECT_FALSE(ini.Load(dir / L"missing.ini"));
    EXPECT_TRUE(ini.Get(L"up", L"CFile1").empty());
}
