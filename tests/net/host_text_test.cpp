#include "net/host_text.h"

#include <gtest/gtest.h>

#include <string>

TEST(HostText, OnlyHostNamesAndIpLiteralsPass)
{
    const std::wstring label63(63, L'a');
    const std::wstring name253 = label63 + L"." + label63 + L"." + label63 + L"." + std::wstring(61, L'b');
    for (const std::wstring& host : {std::wstring(L"h"), std::wstring(L"game-1.Example.com"), label63, name253,
                                     std::wstring(L"127.0.0.1"), std::wstring(L"::1"), std::wstring(L"::"),
                                     std::wstring(L"fe80::1:2"), std::wstring(L"1:2:3:4:5:6:7:8"),
                                     std::wstring(L"::ffff:192.0.2.1"), std::wstring(L"2001:DB8::")}) {
        EXPECT_TRUE(IsValidHostText(host)) << host;
    }
    for (const std::wstring& host :
         {std::wstring(), std::wstring(L"a b"), std::wstring(L"a\"b"), std::wstring(L"a\0b", 3), std::wstring(L"a/b"),
          std::wstring(L"-a"), std::wstring(L"a-"), std::wstring(L"a..b"), std::wstring(L"a."), std::wstring(L".a"),
          label63 + L"a", name253 + L"b", std::wstring(L"\u5c9a.example"), std::wstring(L"[::1]"),
          std::wstring(L"::1%1"), std::wstring(L"1::2::3"), std::wstring(L":1::"), std::wstring(L"1:2:3:4:5:6:7:8:9"),
          std::wstring(L"1:2:3:4:5:6:7"), std::wstring(L"12345::"), std::wstring(L"::1.2.3.256"),
          std::wstring(L"::1.2.3.4:5"), std::wstring(L"g::1")}) {
        EXPECT_FALSE(IsValidHostText(host)) << host.size();
    }
}
