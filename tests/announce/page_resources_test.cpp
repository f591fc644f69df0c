// The announcement page and its style sheet as the built launcher carries them.

#include "tests/support/process_probe.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

constexpr WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

struct DatafileTraits {
    using Type = HMODULE;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type module) noexcept { FreeLibrary(module); }
};
using UniqueDatafile = UniqueResource<DatafileTraits>;

UniqueDatafile OpenLauncher()
{
    return UniqueDatafile(LoadLibraryExW(probe::LauncherExe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
}

std::string ResourceBytes(HMODULE module, const wchar_t* name)
{
    HRSRC found = FindResourceExW(module, MAKEINTRESOURCEW(23), name, kEnglishUs);
    if (found == nullptr)
        return {};
    HGLOBAL loaded = LoadResource(module, found);
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr)
        return {};
    return std::string(static_cast<const char*>(data), SizeofResource(module, found));
}

// Every byte pair outside ASCII must be a GB2312 code: lead 0xA1-0xF7, trail 0xA1-0xFE.
bool WithinGb2312(std::string_view bytes)
{
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80)
            continue;
        if (lead < 0xA1 || lead > 0xF7 || i + 1 == bytes.size())
            return false;
        const auto trail = static_cast<unsigned char>(bytes[++i]);
        if (trail < 0xA1 || trail > 0xFE)
            return false;
    }
    return true;
}

std::wstring DecodeGb2312(const std::string& bytes)
{
    const int length = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                                           nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                        length);
    return text;
}

size_t Count(const std::wstring& text, std::wstring_view part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR languages)
{
    reinterpret_cast<std::wstring*>(languages)->push_back(static_cast<wchar_t>(language));
    return TRUE;
}

}

TEST(PageResources, BothAreHtmlResourcesInUsEnglishOnly)
{
    UniqueDatafile launcher = OpenLauncher();
    ASSERT_TRUE(launcher) << "cannot open the launcher as a data file";
    for (const wchar_t* name : {L"GG.HTM", L"GG.CSS", L"gg.htm"}) {
        std::wstring languages;
        EXPECT_TRUE(EnumResourceLanguagesW(launcher.get(), MAKEINTRESOURCEW(23), name, CollectLanguage,
                                           reinterpret_cast<LONG_PTR>(&languages)))
            << name;
        EXPECT_EQ(languages, std::wstring(1, static_cast<wchar_t>(kEnglishUs))) << name;
        EXPECT_FALSE(ResourceBytes(launcher.get(), name).empty()) << name;
    }
}

TEST(PageResources, PageIsGb2312WithOneTableRowPerLine)
{
    UniqueDatafile launcher = OpenLauncher();
    ASSERT_TRUE(launcher);
    const std::string bytes = ResourceBytes(launcher.get(), L"GG.HTM");
    ASSERT_FALSE(bytes.empty());
    EXPECT_TRUE(WithinGb2312(bytes));
    const std::wstring page = DecodeGb2312(bytes);
    ASSERT_FALSE(page.empty()) << "the page does not decode from GB2312";

    EXPECT_EQ(page.find(L"<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\">"), 0u);
    EXPECT_NE(page.find(L"charset=gb2312"), std::wstring::npos);
    EXPECT_NE(page.find(L"href=\"gg.css\""), std::wstring::npos);
    EXPECT_NE(page.find(L"<title>游戏公告</title>"), std::wstring::npos);
    EXPECT_EQ(Count(page, L"<table width=\"294\""), 1u);
    EXPECT_EQ(Count(page, L"<td width=\"286\""), 1u);

    const size_t rows = Count(page, L"<tr>");
    EXPECT_EQ(rows, 7u);
    EXPECT_EQ(Count(page, L"\">\u00B7 "), rows) << "every line starts with a middle dot and a space";
    EXPECT_EQ(Count(page, L"class=\"hot\""), 2u);
    EXPECT_EQ(Count(page, L"class=\"txt\""), 5u);
    const size_t firstRow = page.find(L"<tr>");
    EXPECT_EQ(page.find(L"class=\"hot\"", firstRow), page.find(L"class=", firstRow)) << "the first line is highlighted";
    EXPECT_NE(page.find(L"谨防诈骗"), std::wstring::npos);

    std::wstring lower = page;
    for (wchar_t& c : lower)
        c = static_cast<wchar_t>(towlower(c));
    for (const wchar_t* absent : {L"<script", L"<img", L"<object", L"<applet", L"<embed", L"background="})
        EXPECT_EQ(lower.find(absent), std::wstring::npos) << absent;
}

TEST(PageResources, StyleSheetIsGb2312WithThePanelColours)
{
    UniqueDatafile launcher = OpenLauncher();
    ASSERT_TRUE(launcher);
    const std::string bytes = ResourceBytes(launcher.get(), L"GG.CSS");
    ASSERT_FALSE(bytes.empty());
    EXPECT_TRUE(WithinGb2312(bytes));
    const std::wstring css = DecodeGb2312(bytes);
    ASSERT_FALSE(css.empty()) << "the style sheet does not decode from GB2312";

    for (const wchar_t* rule :
         {L"margin: 0;", L"background-color: #000000;", L"scrollbar-face-color: #3c3932;",
          L"scrollbar-highlight-color: #1f1e1c;", L"scrollbar-shadow-color: #1f1e1c;",
          L"scrollbar-darkshadow-color: #1f1e1c;", L"scrollbar-3dlight-color: #1a1917;",
          L"scrollbar-track-color: #111110;", L"scrollbar-arrow-color: #ff5400;", L"font-size: 9pt;",
          L"line-height: 180%;", L"color: #677987;", L"text-decoration: none;", L"color: #ff9900;",
          L"font-family: \"宋体\""})
        EXPECT_NE(css.find(rule), std::wstring::npos) << rule;

    const size_t txt = css.find(L".txt {");
    const size_t hot = css.find(L".hot {");
    ASSERT_NE(txt, std::wstring::npos);
    ASSERT_NE(hot, std::wstring::npos);
    EXPECT_EQ(css.find(L"color: #ffffff;", txt), css.find(L"color:", txt));
    EXPECT_EQ(css.find(L"color: #ffff00;", hot), css.find(L"color:", hot));
    EXPECT_LT(css.find(L"font-weight: bold;", hot), css.find(L"}", hot));
}
