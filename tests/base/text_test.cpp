#include "base/text.h"

#include <gtest/gtest.h>

TEST(Text, StrictUtf8ConversionGivesAllOrNothing)
{
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(Utf8ToWide("\xE5\xB2\x9A\xE8\xB0\xB7 ok"), L"岚谷 ok");
    EXPECT_EQ(Utf8ToWide("abc\xFF"), L"");
    EXPECT_EQ(Utf8ToWide("abc\xE5\xB2"), L"");  // cut in the middle of a character
    EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));

    EXPECT_EQ(WideToUtf8(L""), "");
    EXPECT_EQ(WideToUtf8(L"岚谷"), "\xE5\xB2\x9A\xE8\xB0\xB7");
    EXPECT_EQ(WideToUtf8(std::wstring(L"ab") + wchar_t(0xD800)), "");  // lone surrogate
}

TEST(Text, SplitFieldsKeepsEmptyPieces)
{
    EXPECT_EQ(SplitFields(L"", L'\t'), std::vector<std::wstring>{L""});
    EXPECT_EQ(SplitFields(L"a\tb", L'\t'), (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_EQ(SplitFields(L"\ta\t\t", L'\t'), (std::vector<std::wstring>{L"", L"a", L"", L""}));
    EXPECT_EQ(SplitFields(L" a \t", L'\t'), (std::vector<std::wstring>{L" a ", L""}));
}

TEST(Text, TrimAndCaseRules)
{
    EXPECT_EQ(TrimWide(L" \t\r\n x y \v\f"), L"x y");
    EXPECT_EQ(TrimWide(L"   "), L"");
    EXPECT_EQ(UpperWide(L"Region-7x"), L"REGION-7X");
    EXPECT_TRUE(EqualsIgnoreCase(L"Set", L"SET"));
    EXPECT_FALSE(EqualsIgnoreCase(L"Set", L"Sets"));
}
