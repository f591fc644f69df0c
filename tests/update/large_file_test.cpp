// Files over 4 GiB: game archives often are. The players' launcher is a 32-bit program, where size_t and pointers
// are 32 bits wide while file sizes and offsets are not.

#include "tests/update/update_run.h"

#include "base/text.h"
#include "base/unique_resource.h"
#include "tests/support/process_probe.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kGiB = 1024ull * 1024 * 1024;

// A file of `size` bytes that takes almost no room (its holes read as zeros), marked where a byte count or an
// offset kept in 32 bits would go wrong: across 2 GiB and 4 GiB, just past 4 GiB, and at its end.
void WriteSparseFile(const std::wstring& path, std::uint64_t size)
{
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(file);
    DWORD returned = 0;
    DeviceIoControl(file.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    for (const std::uint64_t offset : {std::uint64_t{0}, 2 * kGiB - 2, 4 * kGiB - 2, 4 * kGiB + 4096, size - 8}) {
        const std::string mark = "VORN" + std::to_string(offset % 10000);
        LARGE_INTEGER position{};
        position.QuadPart = static_cast<LONGLONG>(offset);
        DWORD written = 0;
        ASSERT_TRUE(SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN));
        ASSERT_TRUE(WriteFile(file.get(), mark.data(), static_cast<DWORD>(mark.size()), &written, nullptr));
    }
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    ASSERT_TRUE(SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(file.get()));
}

}

// The generator and the check pass read a 4.5 GiB file to its end and agree on its checksum, so the file is
// current: nothing is downloaded and the pass counts it as the one file of two that it is.
TEST(LargeFile, AFileOver4GiBIsCheckedToItsEndAndFoundCurrent)
{
    const std::wstring tool = probe::FindTool(L"make_manifest.py");
    ASSERT_FALSE(tool.empty());
    probe::TempDir work;
    const std::wstring client = work / L"client";
    ASSERT_TRUE(CreateDirectoryW(client.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((client + L"\\Data").c_str(), nullptr));
    ASSERT_NO_FATAL_FAILURE(WriteSparseFile(client + L"\\Data\\world.pak", 4 * kGiB + kGiB / 2));
    probe::WriteFileBytes(client + L"\\Main.exe", "MZ");
    // The client folder is its own update site; the check pass reads no block index. Reading 4.5 GiB takes
    // Python's zlib about 15 s on a busy machine.
    ASSERT_EQ(probe::RunUnixShell(work, "python3 '" + WideToUtf8(probe::UnixPathOf(tool)) +
                                            "' client --no-block-index", 180000),
              0);

    probe::HttpSite site(client);
    UpdateRun run;
    // A file taken for out of date has its download cut at once instead of fetching 4.5 GiB.
    run.cancelWhen = [](const UpdateRun& r) { return !r.started.empty(); };
    run.Apply(site, client, client + L"\\VornLauncher.exe");
    EXPECT_TRUE(run.result.succeeded) << WideToUtf8(run.result.message);
    EXPECT_EQ(run.result.filesUpdated, 0);
    EXPECT_TRUE(run.started.empty());
    EXPECT_EQ(run.Stage(1),
              (std::vector<std::wstring>{L"1 1/2 0 0 Data\\world.pak", L"1 2/2 0 0 Main.exe"}));
}
