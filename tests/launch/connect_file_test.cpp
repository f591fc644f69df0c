#include "launch/client_path.h"
#include "launch/connect_block.h"
#include "launch/connect_file.h"
#include "tests/launch/launch_test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Block()
{
    return std::string(kConnectBlock.begin(), kConnectBlock.end());
}

FILETIME LastWriteTime(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

void MakeLocalFolder(const launchtest::ClientFolder& folder)
{
    CreateDirectoryW((folder / L"Data").c_str(), nullptr);
    CreateDirectoryW((folder / L"Data\\Local").c_str(), nullptr);
}

}

TEST(ConnectFile, PathIsTheClientRootJoinedAndNormalised)
{
    EXPECT_EQ(JoinClientPath(L"C:\\Games/Vorn\\.\\old\\..", L"Data\\Local\\Connect.msil"),
              L"C:\\Games\\Vorn\\Data\\Local\\Connect.msil");
    EXPECT_EQ(JoinClientPath(L"C:\\Games\\\\Vorn", L"Main.exe"), L"C:\\Games\\Vorn\\Main.exe");

    const launchtest::ClientFolder folder;
    EXPECT_EQ(ConnectFilePath(folder.root()), folder.ConnectFile());
}

TEST(ConnectFile, CorrectFileIsLeftUntouched)
{
    const launchtest::ClientFolder folder;
    MakeLocalFolder(folder);
    probe::WriteFileBytes(folder.ConnectFile(), Block());
    // An old time stamp: any rewrite, however quick, would change it.
    {
        UniqueFile file(CreateFileW(folder.ConnectFile().c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file);
        const FILETIME old{0x2AC18000, 0x01BF53EB};
        ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &old));
    }
    const FILETIME before = LastWriteTime(folder.ConnectFile());

    EXPECT_TRUE(ConnectFileMatches(folder.ConnectFile()));
    EXPECT_EQ(EnsureConnectFile(folder.root(), false), ConnectFileOutcome::Correct);
    const FILETIME after = LastWriteTime(folder.ConnectFile());
    EXPECT_EQ(CompareFileTime(&before, &after), 0);
    EXPECT_FALSE(probe::FileExists(folder.ConnectFile() + L".launcher.tmp"));
}

// Any other content is replaced by the block; a build with the stand-in block (which the game cannot use) keeps
// it instead, for it is likely the player's real connection file.
TEST(ConnectFile, AnyOtherContentIsReplacedByTheBlockOrKeptByAStandInBuild)
{
    std::string flipped = Block();
    flipped[100] = static_cast<char>(flipped[100] ^ 0x01);
    const std::string wrongContents[] = {Block() + "x", Block().substr(0, kConnectBlockSize - 1), flipped, ""};

    const launchtest::ClientFolder folder;
    MakeLocalFolder(folder);
    for (const std::string& wrong : wrongContents) {
        SCOPED_TRACE(wrong.size());
        probe::WriteFileBytes(folder.ConnectFile(), wrong);
        EXPECT_FALSE(ConnectFileMatches(folder.ConnectFile()));
        EXPECT_EQ(EnsureConnectFile(folder.root(), true), ConnectFileOutcome::OtherKept);
        EXPECT_EQ(probe::ReadFileBytes(folder.ConnectFile()), wrong);
        EXPECT_EQ(EnsureConnectFile(folder.root(), false), ConnectFileOutcome::Correct);
        EXPECT_EQ(probe::ReadFileBytes(folder.ConnectFile()), Block());
        EXPECT_FALSE(probe::FileExists(folder.ConnectFile() + L".launcher.tmp"));
    }
}

TEST(ConnectFile, MissingFoldersAreCreated)
{
    for (const bool keepOtherFile : {false, true}) {
        SCOPED_TRACE(keepOtherFile);
        const launchtest::ClientFolder folder;
        ASSERT_FALSE(probe::FileExists(folder / L"Data"));
        EXPECT_FALSE(ConnectFileMatches(folder.ConnectFile()));

        EXPECT_EQ(EnsureConnectFile(folder.root(), keepOtherFile), ConnectFileOutcome::Correct);
        EXPECT_EQ(probe::ReadFileBytes(folder.ConnectFile()), Block());
    }
}

TEST(ConnectFile, ReadOnlyWrongFileFailsWithoutLeavingTheTemporaryFile)
{
    const launchtest::ClientFolder folder;
    MakeLocalFolder(folder);
    probe::WriteFileBytes(folder.ConnectFile(), "stale");
    ASSERT_TRUE(SetFileAttributesW(folder.ConnectFile().c_str(), FILE_ATTRIBUTE_READONLY));

    EXPECT_EQ(EnsureConnectFile(folder.root(), false), ConnectFileOutcome::Failed);
    EXPECT_FALSE(probe::FileExists(folder.ConnectFile() + L".launcher.tmp"));
    EXPECT_EQ(probe::ReadFileBytes(folder.ConnectFile()), "stale");
}

TEST(ConnectFile, FolderInTheWayFails)
{
    const launchtest::ClientFolder folder;
    // "Data" as a file: the folder cannot be made.
    probe::WriteFileBytes(folder / L"Data", "not a folder");
    EXPECT_EQ(EnsureConnectFile(folder.root(), false), ConnectFileOutcome::Failed);

    // The connection file's own name taken by a folder: the move cannot replace it.
    probe::RemoveTree(folder / L"Data");
    ASSERT_TRUE(CreateDirectoryW((folder / L"Data").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder / L"Data\\Local").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(folder.ConnectFile().c_str(), nullptr));
    EXPECT_FALSE(ConnectFileMatches(folder.ConnectFile()));
    // A folder is nobody's connection file: a stand-in build does not keep it either.
    for (const bool keepOtherFile : {false, true})
        EXPECT_EQ(EnsureConnectFile(folder.root(), keepOtherFile), ConnectFileOutcome::Failed);
    EXPECT_FALSE(probe::FileExists(folder.ConnectFile() + L".launcher.tmp"));
}
