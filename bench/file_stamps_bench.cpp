// What one directory listing tells of a file on this system, measured: which listing classes answer, the values
// they give (sizes, the four times, the file id), how fine the times are, which of them move on a write, a
// rewrite, SetFileTime, a rename, a copy, a replace, and what a listing costs per entry. The record of verified
// files trusts exactly what these figures show; run it again on another system before trusting that one.
// Usage: file_stamps_bench.exe FOLDER (an empty folder to work in; removed at the end).

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr auto kIdBoth = static_cast<FILE_INFO_BY_HANDLE_CLASS>(10);  // FileIdBothDirectoryInfo
constexpr auto kFull = static_cast<FILE_INFO_BY_HANDLE_CLASS>(14);    // FileFullDirectoryInfo
constexpr auto kIdExtd = static_cast<FILE_INFO_BY_HANDLE_CLASS>(19);  // FileIdExtdDirectoryInfo (Windows 8 on)
constexpr std::pair<FILE_INFO_BY_HANDLE_CLASS, const wchar_t*> kClasses[] = {
    {kIdBoth, L"FileIdBothDirectoryInfo"}, {kFull, L"FileFullDirectoryInfo"}, {kIdExtd, L"FileIdExtdDirectoryInfo"}};

struct Stamps {
    bool found = false;
    std::int64_t created = 0, written = 0, changed = 0, accessed = 0;
    std::int64_t size = 0;
    std::uint64_t id = 0;
    DWORD attributes = 0;
};

HANDLE OpenFolder(const std::wstring& folder)
{
    return CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Every entry of a folder through one class; calls `seen` with the name and the stamps.
template <typename Seen>
DWORD ListFolder(const std::wstring& folder, FILE_INFO_BY_HANDLE_CLASS infoClass, Seen seen)
{
    const HANDLE handle = OpenFolder(folder);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError();
    std::vector<unsigned char> buffer(64 * 1024);
    DWORD error = 0;
    for (;;) {
        if (!GetFileInformationByHandleEx(handle, infoClass, buffer.data(), static_cast<DWORD>(buffer.size()))) {
            error = GetLastError();
            break;
        }
        for (std::size_t offset = 0;;) {
            const unsigned char* entry = buffer.data() + offset;
            Stamps s;
            s.found = true;
            std::wstring name;
            DWORD next = 0;
            const auto common = [&](const auto* info) {
                s.created = info->CreationTime.QuadPart;
                s.accessed = info->LastAccessTime.QuadPart;
                s.written = info->LastWriteTime.QuadPart;
                s.changed = info->ChangeTime.QuadPart;
                s.size = info->EndOfFile.QuadPart;
                s.attributes = info->FileAttributes;
                name.assign(info->FileName, info->FileNameLength / sizeof(wchar_t));
                next = info->NextEntryOffset;
            };
            if (infoClass == kIdBoth) {
                const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(entry);
                common(info);
                s.id = static_cast<std::uint64_t>(info->FileId.QuadPart);
            } else if (infoClass == kFull) {
                common(reinterpret_cast<const FILE_FULL_DIR_INFO*>(entry));
            } else {
                const auto* info = reinterpret_cast<const FILE_ID_EXTD_DIR_INFO*>(entry);
                common(info);
                std::memcpy(&s.id, info->FileId.Identifier, sizeof(s.id));
            }
            seen(name, s);
            if (next == 0)
                break;
            offset += next;
        }
    }
    CloseHandle(handle);
    return error == ERROR_NO_MORE_FILES ? 0 : error;
}

Stamps StampsOf(const std::wstring& folder, const std::wstring& name)
{
    Stamps found;
    ListFolder(folder, kIdBoth, [&](const std::wstring& n, const Stamps& s) {
        if (n == name)
            found = s;
    });
    return found;
}

void WriteBytes(const std::wstring& path, const std::string& bytes, DWORD disposition = CREATE_ALWAYS)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::int64_t PreciseNow()
{
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

std::wstring Describe(const Stamps& s)
{
    wchar_t text[256];
    std::swprintf(text, 256, L"size %lld, written %lld, changed %lld, created %lld, accessed %lld, id %016llx, "
                             L"attributes %04lx",
                  static_cast<long long>(s.size), static_cast<long long>(s.written),
                  static_cast<long long>(s.changed), static_cast<long long>(s.created),
                  static_cast<long long>(s.accessed), static_cast<unsigned long long>(s.id),
                  static_cast<unsigned long>(s.attributes));
    return text;
}

// Which values an action moved, as a row of the table.
void Row(const wchar_t* action, const Stamps& before, const Stamps& after)
{
    const auto mark = [](bool moved) { return moved ? L"moves" : L"same "; };
    std::wprintf(L"  %-46ls size %ls  written %ls  changed %ls  created %ls  id %ls\n", action,
                 mark(before.size != after.size), mark(before.written != after.written),
                 mark(before.changed != after.changed), mark(before.created != after.created),
                 mark(before.id != after.id));
}

void Classes(const std::wstring& folder)
{
    WriteBytes(folder + L"\\probe.bin", std::string(100, 'x'));
    std::wprintf(L"listing classes on a folder:\n");
    for (const auto& [infoClass, name] : kClasses) {
        Stamps probe;
        const DWORD error = ListFolder(folder, infoClass, [&](const std::wstring& n, const Stamps& s) {
            if (n == L"probe.bin")
                probe = s;
        });
        if (error != 0)
            std::wprintf(L"  %-26ls fails, error %lu\n", name, static_cast<unsigned long>(error));
        else
            std::wprintf(L"  %-26ls %ls\n", name, Describe(probe).c_str());
    }
    const HANDLE file = CreateFileW((folder + L"\\probe.bin").c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION byHandle{};
    FILE_BASIC_INFO basic{};
    GetFileInformationByHandle(file, &byHandle);
    GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic));
    CloseHandle(file);
    std::wprintf(L"  the file's own handle: index %08lx%08lx, volume %08lx, basic info written %lld, changed %lld\n",
                 static_cast<unsigned long>(byHandle.nFileIndexHigh),
                 static_cast<unsigned long>(byHandle.nFileIndexLow),
                 static_cast<unsigned long>(byHandle.dwVolumeSerialNumber),
                 static_cast<long long>(basic.LastWriteTime.QuadPart),
                 static_cast<long long>(basic.ChangeTime.QuadPart));
    const HANDLE dir = OpenFolder(folder);
    BY_HANDLE_FILE_INFORMATION dirInfo{};
    GetFileInformationByHandle(dir, &dirInfo);
    wchar_t fileSystem[MAX_PATH + 1] = {};
    DWORD flags = 0;
    GetVolumeInformationByHandleW(dir, nullptr, 0, nullptr, nullptr, &flags, fileSystem, MAX_PATH + 1);
    CloseHandle(dir);
    std::wprintf(L"  the folder's own handle: index %08lx%08lx, volume %08lx, file system %ls, flags %08lx\n",
                 static_cast<unsigned long>(dirInfo.nFileIndexHigh),
                 static_cast<unsigned long>(dirInfo.nFileIndexLow),
                 static_cast<unsigned long>(dirInfo.dwVolumeSerialNumber), fileSystem,
                 static_cast<unsigned long>(flags));
}

// How fine the times are: files written one after another into a fresh folder, the time of each asked for right
// after its write or not at all until the end (a file system may give finer times to a file whose time was
// asked for since its last change); and how far a file's time lies before the precise clock read before its write.
void WriteMany(const std::wstring& dir, bool askEach)
{
    CreateDirectoryW(dir.c_str(), nullptr);
    constexpr int kFiles = 2000;
    std::vector<std::int64_t> before(kFiles);
    for (int i = 0; i < kFiles; ++i) {
        before[i] = PreciseNow();
        const std::wstring path = dir + L"\\f" + std::to_wstring(i);
        WriteBytes(path, "x");
        if (askEach) {
            const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr);
            FILE_BASIC_INFO basic{};
            GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic));
            CloseHandle(file);
        }
    }
    std::vector<std::int64_t> times;
    std::set<int> lastDigits;
    std::int64_t worstLag = 0;
    ListFolder(dir, kIdBoth, [&](const std::wstring& name, const Stamps& s) {
        if (name[0] != L'f')
            return;
        times.push_back(s.written);
        lastDigits.insert(static_cast<int>(s.written % 10));
        worstLag = std::max(worstLag, before[std::stoi(name.substr(1))] - s.written);
    });
    std::sort(times.begin(), times.end());
    std::int64_t smallestStep = INT64_MAX;
    for (std::size_t i = 1; i < times.size(); ++i)
        if (times[i] != times[i - 1])
            smallestStep = std::min(smallestStep, times[i] - times[i - 1]);
    const auto distinct = std::set<std::int64_t>(times.begin(), times.end()).size();
    std::wprintf(L"  %d files, time %ls: %zu distinct write times, smallest step %lld x 100 ns, %zu distinct "
                 L"last digits; a file's time lies up to %.3f ms before the precise clock read before its write\n",
                 kFiles, askEach ? L"asked after each write" : L"not asked", distinct,
                 static_cast<long long>(smallestStep), lastDigits.size(), static_cast<double>(worstLag) / 1e4);
}

void Granularity(const std::wstring& folder)
{
    std::wprintf(L"granularity:\n");
    WriteMany(folder + L"\\grain-unasked", false);
    WriteMany(folder + L"\\grain", true);
    // The racy case: a rewrite of the same size right after a listing. Unmoved times would hide it.
    int unmoved = 0;
    constexpr int kPairs = 500;
    const std::wstring dir = folder + L"\\grain";
    for (int i = 0; i < kPairs; ++i) {
        WriteBytes(dir + L"\\pair", "a");
        const Stamps first = StampsOf(dir, L"pair");
        WriteBytes(dir + L"\\pair", "b");
        const Stamps second = StampsOf(dir, L"pair");
        if (first.written == second.written && first.changed == second.changed)
            ++unmoved;
    }
    std::wprintf(L"  a rewrite of the same size straight after a listing leaves both times unmoved in %d of %d "
                 L"tries\n",
                 unmoved, kPairs);
}

void Moves(const std::wstring& folder)
{
    std::wprintf(L"what moves on what (one listing before, one after; 30 ms apart):\n");
    const std::wstring a = folder + L"\\a.bin";
    const std::wstring b = folder + L"\\b.bin";
    const std::wstring copy = folder + L"\\copy.bin";
    WriteBytes(a, std::string(4096, 'a'));
    WriteBytes(b, std::string(4096, 'b'));
    Sleep(30);
    const auto step = [&](const wchar_t* action, auto act, const wchar_t* name = L"a.bin") {
        const Stamps before = StampsOf(folder, name);
        Sleep(30);
        act();
        Row(action, before, StampsOf(folder, name));
        Sleep(30);
    };
    step(L"read to the end", [&] {
        const HANDLE file = CreateFileW(a.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        char buffer[8192];
        DWORD read = 0;
        ReadFile(file, buffer, sizeof(buffer), &read, nullptr);
        CloseHandle(file);
    });
    step(L"opened for writing, nothing written", [&] {
        CloseHandle(CreateFileW(a.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    });
    step(L"same size rewritten in place", [&] { WriteBytes(a, std::string(4096, 'c'), OPEN_EXISTING); });
    step(L"rewritten in place, write time set back", [&] {
        const HANDLE file = CreateFileW(a.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        FILETIME written{};
        GetFileTime(file, nullptr, nullptr, &written);
        DWORD count = 0;
        WriteFile(file, std::string(4096, 'd').data(), 4096, &count, nullptr);
        SetFileTime(file, nullptr, nullptr, &written);
        CloseHandle(file);
    });
    step(L"attribute read-only set and cleared", [&] {
        SetFileAttributesW(a.c_str(), FILE_ATTRIBUTE_READONLY);
        SetFileAttributesW(a.c_str(), FILE_ATTRIBUTE_NORMAL);
    });
    step(L"renamed away and back", [&] {
        MoveFileExW(a.c_str(), (a + L".away").c_str(), 0);
        MoveFileExW((a + L".away").c_str(), a.c_str(), 0);
    });
    step(L"hard link made and removed", [&] {
        CreateHardLinkW((a + L".link").c_str(), a.c_str(), nullptr);
        DeleteFileW((a + L".link").c_str());
    });
    step(L"replaced by a copy of b.bin (CopyFile+MoveFileEx)", [&] {
        CopyFileW(b.c_str(), copy.c_str(), FALSE);
        MoveFileExW(copy.c_str(), a.c_str(), MOVEFILE_REPLACE_EXISTING);
    });
    step(L"deleted and written again, time set back", [&] {
        const Stamps old = StampsOf(folder, L"a.bin");
        DeleteFileW(a.c_str());
        const HANDLE file = CreateFileW(a.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        DWORD count = 0;
        WriteFile(file, std::string(4096, 'b').data(), 4096, &count, nullptr);
        FILETIME written{static_cast<DWORD>(old.written), static_cast<DWORD>(old.written >> 32)};
        SetFileTime(file, nullptr, nullptr, &written);
        CloseHandle(file);
    });
    CopyFileW(b.c_str(), copy.c_str(), FALSE);
    Row(L"b.bin against its copy (CopyFile)", StampsOf(folder, L"b.bin"), StampsOf(folder, L"copy.bin"));
}

// The cost of one listing per entry, for each class and for FindFirstFileEx, over a folder of 2000 files.
void Cost(const std::wstring& folder)
{
    const std::wstring dir = folder + L"\\grain";
    std::wprintf(L"cost of listing a folder of 2000 files, best of 20, per entry:\n");
    for (const auto& [infoClass, name] : kClasses) {
        double best = 1e9;
        std::size_t entries = 0;
        for (int round = 0; round < 20; ++round) {
            entries = 0;
            const std::int64_t start = PreciseNow();
            if (ListFolder(dir, infoClass, [&](const std::wstring&, const Stamps&) { ++entries; }) != 0)
                break;
            best = std::min(best, static_cast<double>(PreciseNow() - start) / 10.0);
        }
        if (entries == 0)
            std::wprintf(L"  %-26ls fails\n", name);
        else
            std::wprintf(L"  %-26ls %.2f us (%zu entries)\n", name, best / static_cast<double>(entries), entries);
    }
    double best = 1e9;
    std::size_t entries = 0;
    for (int round = 0; round < 20; ++round) {
        entries = 0;
        const std::int64_t start = PreciseNow();
        WIN32_FIND_DATAW data{};
        const HANDLE find = FindFirstFileExW((dir + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                             nullptr, FIND_FIRST_EX_LARGE_FETCH);
        if (find == INVALID_HANDLE_VALUE)
            break;
        do
            ++entries;
        while (FindNextFileW(find, &data));
        FindClose(find);
        best = std::min(best, static_cast<double>(PreciseNow() - start) / 10.0);
    }
    std::wprintf(L"  %-26ls %.2f us (%zu entries)\n", L"FindFirstFileEx (basic)", best / static_cast<double>(entries),
                 entries);
}

void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW data{};
    const HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = folder + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fwprintf(stderr, L"usage: file_stamps_bench.exe FOLDER\n");
        return 2;
    }
    const std::wstring folder = argv[1];
    if (!CreateDirectoryW(folder.c_str(), nullptr)) {
        std::fwprintf(stderr, L"cannot make %ls\n", folder.c_str());
        return 1;
    }
    std::wprintf(L"%zu-bit build; times in units of 100 ns since 1601\n", sizeof(void*) * 8);
    Classes(folder);
    Granularity(folder);
    Moves(folder);
    Cost(folder);
    RemoveTree(folder);
    return 0;
}
