#include "update/path_rules.h"

#include "tests/support/process_probe.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

// Wine's CreateSymbolicLinkW does nothing, but it starts Unix programs, and a Unix symlink on a Wine drive shows
// up as a reparse point: the link is made by /bin/ln, as an administrator of the client folder might.
bool MakeUnixSymlink(const std::wstring& folder, const std::wstring& target, const std::wstring& name)
{
    if (!probe::StartLinuxProgram(L"/bin/ln", L"-s " + target + L" " + name, folder))
        return false;
    const std::wstring link = folder + L"\\" + name;
    for (int i = 0; i < 100; ++i) {
        if (GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
        Sleep(50);
    }
    return false;
}

// The message ResolveUnderRoot fails with; empty when it resolves.
std::wstring Refusal(const std::wstring& root, const std::wstring& path)
{
    return ResolveUnderRoot(root, path).message();
}

}

TEST(PathRules, AcceptsAndNormalisesPlainRelativePaths)
{
    const std::pair<std::wstring, std::wstring> accepted[] = {
        {L"\\Data\\x.bmd", L"Data\\x.bmd"},
        {L"/Data/Player/player.bmd", L"Data\\Player\\player.bmd"},
        {L"Main.exe", L"Main.exe"},
        {L"COM0", L"COM0"},
        {L"LPT0.log", L"LPT0.log"},
        {L"CONSOLE.txt", L"CONSOLE.txt"},
        {L"a.b.c", L"a.b.c"},
        {L"NULL", L"NULL"},
        {L"data\\COM10", L"data\\COM10"},
        {L"数据\\玩家.bmd", L"数据\\玩家.bmd"},
        {L".hidden", L".hidden"},
        {L"a b\\c d", L"a b\\c d"},
    };
    for (const auto& [input, normal] : accepted) {
        std::wstring path = input;
        EXPECT_TRUE(IsSafeRelativePath(path)) << input;
        EXPECT_EQ(path, normal) << input;
    }
}

TEST(PathRules, RefusesEscapesDevicesAndOddComponents)
{
    const std::wstring refused[] = {
        L"", L" a", L"a ", L"\ta", L"a\n", L"\\\\server\\x", L"//server/x", L"\\", L"/", L"C:\\x", L"C:x",
        L"a:stream", L"..\\x", L"a\\..\\b", L".\\a", L"a\\.", L"a\\\\b", L"a\\", L"a.", L"a\\b.\\c", L"a \\b",
        L"a\\CON", L"a\\con.txt", L"COM1", L"lpt9.dat", L"Aux", L"nul.tar.gz", L"prn", L"a*b", L"a?b", L"a\"b",
        L"a<b", L"a>b", L"a|b", std::wstring(L"a\x01" L"b"), std::wstring(L"a\x1F" L"b"), L"a\rb",
    };
    for (const std::wstring& input : refused) {
        std::wstring path = input;
        EXPECT_FALSE(IsSafeRelativePath(path)) << input;
    }

    // The separator and leading-backslash rewrites stay in the caller's text even when a later rule refuses it.
    std::wstring path = L"/a/../b";
    EXPECT_FALSE(IsSafeRelativePath(path));
    EXPECT_EQ(path, L"a\\..\\b");
    path = L"/x:y";
    EXPECT_FALSE(IsSafeRelativePath(path));
    EXPECT_EQ(path, L"x:y");
    path = L" /a";  // refused before any rewrite
    EXPECT_FALSE(IsSafeRelativePath(path));
    EXPECT_EQ(path, L" /a");
}

TEST(PathRules, ResolvesUnderRootWithOneSeparator)
{
    probe::TempDir root;
    EXPECT_EQ(*ResolveUnderRoot(root.path(), L"Data/a.txt"), root.path() + L"\\Data\\a.txt");
    EXPECT_EQ(*ResolveUnderRoot(root.path() + L"\\", L"\\Data\\a.txt"), root.path() + L"\\Data\\a.txt");
    EXPECT_EQ(Refusal(root.path(), L"..\\evil.dll"), L"文件路径无效：..\\evil.dll");
    EXPECT_EQ(Refusal(root.path(), L"C:\\evil.dll"), L"文件路径无效：C:\\evil.dll");

    ASSERT_TRUE(CreateDirectoryW((root / L"Data").c_str(), nullptr));
    probe::WriteFileBytes(root / L"Data\\a.txt", "x");
    EXPECT_EQ(*ResolveUnderRoot(root.path(), L"data\\A.TXT"), root.path() + L"\\data\\A.TXT");
}

TEST(PathRules, RefusesAPathThroughALink)
{
    probe::TempDir root;
    ASSERT_TRUE(CreateDirectoryW((root / L"real").c_str(), nullptr));
    probe::WriteFileBytes(root / L"real\\a.txt", "x");
    ASSERT_TRUE(MakeUnixSymlink(root.path(), L"real", L"Data"));
    ASSERT_NE(GetFileAttributesW((root / L"Data").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    // The final file does not exist: the link on the way is enough.
    const std::wstring linked = L"客户端目录中的 Data 是链接（符号链接或目录联接），为安全起见已停止更新。请移除该链接后重试。";
    EXPECT_EQ(Refusal(root.path(), L"Data\\sub\\missing.bmd"), linked);
    EXPECT_EQ(Refusal(root.path(), L"data/x"), LinkedPathMessage(L"data"));
    EXPECT_EQ(*ResolveUnderRoot(root.path(), L"real\\x"), root.path() + L"\\real\\x");

    // The root itself may be reached through a link.
    EXPECT_EQ(*ResolveUnderRoot(root / L"Data", L"x\\y"), root.path() + L"\\Data\\x\\y");

    UnderRootResolver resolver(root.path());
    EXPECT_EQ(*resolver.Resolve(L"real\\a"), root.path() + L"\\real\\a");
    EXPECT_EQ(*resolver.Resolve(L"real\\b"), root.path() + L"\\real\\b");
    EXPECT_EQ(*resolver.Resolve(L"missing\\a\\b"), root.path() + L"\\missing\\a\\b");
    EXPECT_EQ(*resolver.Resolve(L"MISSING\\c"), root.path() + L"\\MISSING\\c");
    EXPECT_EQ(resolver.Resolve(L"Data\\x").message(), linked);
    EXPECT_FALSE(resolver.Resolve(L"DATA\\y"));
    EXPECT_EQ(resolver.Resolve(L"a\\..\\b").message(), L"文件路径无效：a\\..\\b");
    EXPECT_EQ(*resolver.ResolveWithStatus(L"real"), root.path() + L"\\real");
}
