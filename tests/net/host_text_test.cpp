#include "net/host_text.h"

#include <gtest/gtest.h>

#include <string>

// What a directory or an authorisation service may name as a host: whatever the resolver may judge for itself,
// and nothing that could cut or reorder the game's command line.
TEST(HostText, OnlyWhatBreaksTheCommandLineOrTheResolverIsRefused)
{
    for (const std::wstring& host :
         {std::wstring(), std::wstring(L"127.0.0.1"), std::wstring(L"::1"), std::wstring(L"game-1.Example.com"),
          std::wstring(L"game_server.lan"), std::wstring(L"game.example."), std::wstring(L"\u5c9a\u8c37.\u4e2d\u56fd"),
          std::wstring(L"fe80::1%1"), std::wstring(L"-x"), std::wstring(L"a'b\\c"), std::wstring(L"\U0001F600.example"),
          std::wstring(4000, L'a')}) {
        EXPECT_TRUE(IsValidHostText(host)) << host.size();
    }
    for (const std::wstring& host :
         {std::wstring(L"a b"), std::wstring(L"a\u3000b"), std::wstring(L"a\u00a0b"), std::wstring(L"a\u2028b"),
          std::wstring(L"a\"b"), std::wstring(L"a\0b", 3), std::wstring(L"a\tb"), std::wstring(L"a\x7f"),
          std::wstring(L"a\u0085"), std::wstring(L"a\u200bb"), std::wstring(L"\u202egpj.exe"), std::wstring(L"a\u00ad"),
          std::wstring(L"\ufeffa"), std::wstring(L"a\U000E0041"), std::wstring(1, wchar_t(0xD800)),
          std::wstring(L"a") + wchar_t(0xDC00) + L"b"}) {
        EXPECT_FALSE(IsValidHostText(host)) << host.size();
    }
}
