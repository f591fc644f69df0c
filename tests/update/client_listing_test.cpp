#include "update/client_listing.h"
#include "update/crc32.h"
#include "update/verified_record_file.h"

#include "tests/support/process_probe.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

UniqueFile Open(const std::wstring& path, DWORD access, DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE,
                DWORD disposition = OPEN_EXISTING)
{
    return UniqueFile(CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

FILETIME WrittenTime(const std::wstring& path)
{
    FILETIME written{};
    GetFileTime(Open(path, GENERIC_READ).get(), nullptr, nullptr, &written);
    return written;
}

void SetWrittenTime(const std::wstring& path, const FILETIME& written)
{
    ASSERT_TRUE(SetFileTime(Open(path, FILE_WRITE_ATTRIBUTES).get(), nullptr, nullptr, &written));
}

std::optional<FileStamp> StampOf(const std::wstring& root, const std::wstring& path)
{
    return ListClientFiles(root, {path}).front();
}

std::size_t CountEntries(const std::wstring& folder)
{
    std::size_t entries = 0;
    WIN32_FIND_DATAW data{};
    const UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    for (bool more = static_cast<bool>(find); more; more = FindNextFileW(find.get(), &data))
        ++entries;
    return entries;
}

bool AnyNameStartsWith(const std::wstring& folder, const std::wstring& prefix)
{
    WIN32_FIND_DATAW data{};
    const UniqueFind find(FindFirstFileW((folder + L"\\" + prefix + L"*").c_str(), &data));
    return static_cast<bool>(find);
}

}

TEST(ClientListing, GivesEveryFileItsStampWithoutOpeningIt)
{
    probe::TempDir root;
    CreateDirectoryW((root / L"Data").c_str(), nullptr);
    CreateDirectoryW((root / L"Data\\Sub").c_str(), nullptr);
    probe::WriteFileBytes(root / L"Main.exe", "exe");
    probe::WriteFileBytes(root / L"Data\\a.bin", std::string(70000, 'a'));
    probe::WriteFileBytes(root / L"Data\\Sub\\b.bin", "b");

    // The listing must not need to open a file: one held without any sharing is listed all the same.
    const UniqueFile held = Open(root / L"Data\\a.bin", GENERIC_READ, 0);
    ASSERT_TRUE(held);
    const std::vector<std::optional<FileStamp>> stamps =
        ListClientFiles(root.path(), {L"Data\\a.bin", L"Main.exe", L"Data\\Sub", L"Data\\missing.bin",
                                      L"Nowhere\\x.bin", L"DATA\\Sub\\B.BIN", L"data\\A.BIN"});
    ASSERT_EQ(stamps.size(), 7u);
    ASSERT_TRUE(stamps[0].has_value());
    FILE_BASIC_INFO basic{};
    BY_HANDLE_FILE_INFORMATION information{};
    ASSERT_TRUE(GetFileInformationByHandleEx(held.get(), FileBasicInfo, &basic, sizeof(basic)));
    ASSERT_TRUE(GetFileInformationByHandle(held.get(), &information));
    EXPECT_EQ(stamps[0]->size, 70000u);
    EXPECT_EQ(stamps[0]->written, basic.LastWriteTime.QuadPart);
    EXPECT_EQ(stamps[0]->changed, basic.ChangeTime.QuadPart);
    EXPECT_EQ(stamps[0]->fileId,
              (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow);
    ASSERT_TRUE(stamps[1].has_value());
    EXPECT_EQ(stamps[1]->size, 3u);
    EXPECT_NE(stamps[1]->fileId, stamps[0]->fileId);
    EXPECT_FALSE(stamps[2].has_value()) << "a folder";
    EXPECT_FALSE(stamps[3].has_value()) << "a missing file";
    EXPECT_FALSE(stamps[4].has_value()) << "a missing folder";
    ASSERT_TRUE(stamps[5].has_value()) << "spelt in other letter case";
    EXPECT_EQ(stamps[5]->size, 1u);
    EXPECT_EQ(stamps[6], stamps[0]);

    // Two entries of one folder whose names differ only in letter case: which one a path opens is not the
    // listing's to say, so neither is given.
    // Wine finds "a.bin" for any spelling, so the twin is made from the Linux side (whose process Wine cannot
    // wait for: the folder is watched instead).
    ASSERT_TRUE(probe::StartLinuxProgram(L"/usr/bin/touch", L"\"" + probe::UnixPathOf(root / L"Data") + L"/A.BIN\""));
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (CountEntries(root / L"Data") < 5 && GetTickCount64() < deadline)
        Sleep(20);
    ASSERT_EQ(CountEntries(root / L"Data"), 5u) << "\".\", \"..\", a.bin, A.BIN and Sub";
    EXPECT_TRUE(StampOf(root.path(), L"Data\\Sub\\b.bin").has_value());
    EXPECT_FALSE(StampOf(root.path(), L"Data\\a.bin").has_value());
    EXPECT_FALSE(StampOf(root.path(), L"Data\\A.bin").has_value());
}

TEST(ClientListing, OnlyAFileUnchangedSinceASettledMomentIsTrusted)
{
    probe::TempDir root;
    const std::string bytes(4096, 'k');
    const std::vector<std::wstring> names = {L"kept.bin",    L"set-back.bin", L"copied.bin", L"renamed.bin",
                                             L"remade.bin",  L"grown.bin",    L"fresh.bin"};
    for (const std::wstring& name : names)
        probe::WriteFileBytes(root / name, bytes);
    probe::WriteFileBytes(root / L"other.bin", std::string(4096, 'o'));
    Sleep(static_cast<DWORD>(kRacyMargin / 10'000) + 200);
    // Written within the margin before the moment: a write right after its read could keep both times.
    probe::WriteFileBytes(root / L"fresh.bin", bytes);
    const std::optional<std::int64_t> moment = FolderClockNow(root.path());
    ASSERT_TRUE(moment.has_value());

    // What the check pass records: the listing first, then the reads.
    const std::vector<std::optional<FileStamp>> before = ListClientFiles(root.path(), names);
    VerifiedRecord record{L"1.0.0", {root.path(), 0, 0}, *moment, {}};
    for (std::size_t i = 0; i < names.size(); ++i) {
        ASSERT_TRUE(before[i].has_value()) << i;
        record.files.push_back({names[i], *before[i], *FileCrc32(root / names[i])});
    }
    const VerifiedFiles remembered(record);

    probe::WriteFileBytes(root / L"grown.bin", bytes + "!");
    const FILETIME setBack = WrittenTime(root / L"set-back.bin");
    probe::WriteFileBytes(root / L"set-back.bin", std::string(4096, 'x'));
    SetWrittenTime(root / L"set-back.bin", setBack);
    // A copy of another file of the same size given the replaced file's times, put in its place.
    const FILETIME copiedTime = WrittenTime(root / L"copied.bin");
    ASSERT_TRUE(CopyFileW((root / L"other.bin").c_str(), (root / L"copy.tmp").c_str(), FALSE));
    SetWrittenTime(root / L"copy.tmp", copiedTime);
    ASSERT_TRUE(MoveFileExW((root / L"copy.tmp").c_str(), (root / L"copied.bin").c_str(), MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(MoveFileExW((root / L"renamed.bin").c_str(), (root / L"renamed.tmp").c_str(), 0));
    ASSERT_TRUE(MoveFileExW((root / L"renamed.tmp").c_str(), (root / L"renamed.bin").c_str(), 0));
    const FILETIME remadeTime = WrittenTime(root / L"remade.bin");
    ASSERT_TRUE(DeleteFileW((root / L"remade.bin").c_str()));
    probe::WriteFileBytes(root / L"remade.bin", std::string(4096, 'r'));
    SetWrittenTime(root / L"remade.bin", remadeTime);

    const std::vector<std::optional<FileStamp>> after = ListClientFiles(root.path(), names);
    EXPECT_EQ(remembered.TrustedCrc(L"kept.bin", after[0]), *FileCrc32(root / L"kept.bin"));
    for (std::size_t i = 1; i < names.size(); ++i) {
        ASSERT_TRUE(after[i].has_value()) << i;
        EXPECT_EQ(after[i]->size, i == 5 ? 4097u : 4096u);
        EXPECT_FALSE(remembered.TrustedCrc(names[i], after[i]).has_value()) << "trusted " << names[i].c_str();
    }
    EXPECT_EQ(after[1]->written, before[1]->written) << "the write time was set back";
    EXPECT_EQ(after[2]->written, before[2]->written) << "the copy carries the replaced file's write time";
}

TEST(ClientListing, TheRecordIsKeptInTheClientFolderAndBoundToIt)
{
    probe::TempDir parent;
    const std::wstring root = parent / L"client";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    probe::WriteFileBytes(root + L"\\a.bin", "a");
    const std::wstring recordPath = root + L"\\" + kVerifiedRecordFileName;

    const VerifiedFilesAtStart first = LoadVerifiedFiles(root, L"1.0.0");
    ASSERT_TRUE(first.folder.has_value()) << "the Wine prefix's drive counts as NTFS";
    EXPECT_EQ(first.remembered.Count(), 0u);
    EXPECT_GE(first.moment, StampOf(root, L"a.bin").value().changed);
    EXPECT_FALSE(AnyNameStartsWith(root, L".vorn-clock")) << "the clock's file stays behind";
    const VerifiedRecord record{L"1.0.0", *first.folder, first.moment, {{L"a.bin", *StampOf(root, L"a.bin"), 0}}};
    ASSERT_TRUE(SaveVerifiedFiles(root, record));
    EXPECT_FALSE(probe::FileExists(recordPath + L".new"));
    EXPECT_EQ(LoadVerifiedFiles(root, L"1.0.0").remembered.Count(), 1u);
    EXPECT_EQ(LoadVerifiedFiles(root, L"1.0.1").remembered.Count(), 0u);
    const std::string saved = probe::ReadFileBytes(recordPath);

    // A copy of the folder elsewhere, and the copy put in the place of the folder, bring the record along.
    const std::wstring copy = parent / L"copy";
    ASSERT_TRUE(CreateDirectoryW(copy.c_str(), nullptr));
    for (const std::wstring name : {L"a.bin", kVerifiedRecordFileName})
        ASSERT_TRUE(CopyFileW((root + L"\\" + name).c_str(), (copy + L"\\" + name).c_str(), TRUE));
    EXPECT_EQ(LoadVerifiedFiles(copy, L"1.0.0").remembered.Count(), 0u);
    ASSERT_TRUE(MoveFileExW(root.c_str(), (parent / L"moved").c_str(), 0));
    ASSERT_TRUE(MoveFileExW(copy.c_str(), root.c_str(), 0));
    EXPECT_EQ(LoadVerifiedFiles(root, L"1.0.0").remembered.Count(), 0u);
    ASSERT_TRUE(MoveFileExW(root.c_str(), copy.c_str(), 0));
    ASSERT_TRUE(MoveFileExW((parent / L"moved").c_str(), root.c_str(), 0));
    ASSERT_EQ(LoadVerifiedFiles(root, L"1.0.0").remembered.Count(), 1u);

    // Damaged, cut short, or larger than its cap: ignored whole.
    std::string damaged = saved;
    damaged[damaged.size() / 2] ^= 0x01;
    probe::WriteFileBytes(recordPath, damaged);
    EXPECT_EQ(LoadVerifiedFiles(root, L"1.0.0").remembered.Count(), 0u);
    probe::WriteFileBytes(recordPath, saved.substr(0, saved.size() - 3));
    EXPECT_EQ(LoadVerifiedFiles(root, L"1.0.0").remembered.Count(), 0u);
    {
        const UniqueFile file = Open(recordPath, GENERIC_WRITE);
        LARGE_INTEGER end{};
        end.QuadPart = static_cast<LONGLONG>(kMaxVerifiedRecordBytes) + 1;
        ASSERT_TRUE(SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.get()));
    }
    EXPECT_EQ(LoadVerifiedFiles(root, L"1.0.0").remembered.Count(), 0u);

    // A record that cannot be written leaves the one before it: past the cap, or while another writer holds the
    // new file.
    probe::WriteFileBytes(recordPath, saved);
    VerifiedRecord huge = record;
    huge.files.push_back({std::wstring(kMaxVerifiedRecordBytes, L'h'), {}, 0});
    EXPECT_FALSE(SaveVerifiedFiles(root, huge));
    {
        const UniqueFile other = Open(recordPath + L".new", GENERIC_WRITE, 0, CREATE_ALWAYS);
        ASSERT_TRUE(other);
        EXPECT_FALSE(SaveVerifiedFiles(root, record));
    }
    EXPECT_EQ(probe::ReadFileBytes(recordPath), saved);
}
