// The scan of an old copy on disk through the block matcher, as an update with block reuse reads it, under Wine:
// a file of random bytes (512 MiB by default) against the index of (a) a new version with 16 changed regions of
// 64 KiB, (b) one with 10 KiB inserted near its start, (c) one twice as long (the old copy is its first half)
// and (d) an unrelated file (nothing to find: every offset is rolled over). Per case: the scan's speed, the bytes
// to fetch (index and missing ranges) and their ratio to the changed bytes; then the peak working set.
// Usage: block_scan_bench.exe WORK_FOLDER [MIB]   (writes MIB of data into WORK_FOLDER)
// Or: block_scan_bench.exe --scan OLD_COPY INDEX_FILE: one scan of a given old copy against a given index, then the
// pass as the update's build makes it (the same scan with the found blocks written to their places in a new file
// beside the old copy, flushed on the way as the build flushes it, the file removed after), printed as "scan SECONDS s, pass SECONDS
// s, found BYTES bytes, missing RANGE_HEADER_VALUE" (the missing blocks as a Range header's value, "-" when none
// are missing), for bench/block_reuse_bench.sh.

#include "base/unique_resource.h"
#include "bench/bench_support.h"
#include "update/block_ranges.h"
#include "update/ini_file.h"
#include "update/old_copy_scan.h"
#include "update/staged_build.h"

#include "tests/update/block_index_maker.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kPiece = 1u << 20;
constexpr std::uint32_t kBlockSize = 8192;

using Out = std::function<void(const char* data, std::size_t size)>;

// The old copy: `size` random bytes made piece by piece from `seed`, so no version is ever held whole.
void StreamRandom(std::uint64_t size, std::uint32_t seed, const Out& out)
{
    for (std::uint64_t at = 0, piece = 0; at < size; at += kPiece, ++piece) {
        const std::string bytes =
            blocktest::RandomBytes(static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, size - at)),
                                   seed * 100003u + static_cast<std::uint32_t>(piece));
        out(bytes.data(), bytes.size());
    }
}

// (a): the old copy with 16 regions of 64 KiB, one in each sixteenth, changed to other random bytes.
void StreamChanged(std::uint64_t size, const Out& out)
{
    std::uint64_t at = 0;
    StreamRandom(size, 1, [&](const char* data, std::size_t length) {
        std::string piece(data, length);
        for (std::uint64_t region = 0; region < 16; ++region) {
            const std::uint64_t first = region * (size / 16) + 777777;
            for (std::uint64_t i = std::max(first, at); i < std::min(first + 65536, at + length); ++i) {
                char& byte = piece[static_cast<std::size_t>(i - at)];
                byte = static_cast<char>(byte ^ 0x5A);
            }
        }
        out(piece.data(), piece.size());
        at += length;
    });
}

// (b): the old copy with 10 KiB inserted at 1,000,003.
void StreamInserted(std::uint64_t size, const Out& out)
{
    std::uint64_t at = 0;
    StreamRandom(size, 1, [&](const char* data, std::size_t length) {
        constexpr std::uint64_t kInsertAt = 1000003;
        if (kInsertAt >= at && kInsertAt < at + length) {
            const std::size_t before = static_cast<std::size_t>(kInsertAt - at);
            out(data, before);
            const std::string inserted = blocktest::RandomBytes(10240, 77);
            out(inserted.data(), inserted.size());
            out(data + before, length - before);
        } else {
            out(data, length);
        }
        at += length;
    });
}

std::string IndexOf(const std::function<void(const Out&)>& stream)
{
    blocktest::IndexWriter writer(kBlockSize);
    stream([&](const char* data, std::size_t size) { writer.Add(data, size); });
    return writer.Finish();
}

bool WriteStream(const std::wstring& path, const std::function<void(const Out&)>& stream)
{
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    bool ok = static_cast<bool>(file);
    stream([&](const char* data, std::size_t size) {
        DWORD written = 0;
        ok = ok && WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) && written == size;
    });
    return ok;
}

void Measure(const char* name, const std::wstring& oldCopy, std::uint64_t oldBytes, const std::string& indexBytes,
             std::uint64_t changed)
{
    BlockIndex index;
    if (!ParseBlockIndex(indexBytes, index)) {
        std::printf("%s: the index was refused\n", name);
        return;
    }
    BlockMatcher matcher(index);
    const double start = bench::Seconds();
    const OldCopyScan scan = ScanOldCopy(oldCopy, matcher, {});
    const double seconds = bench::Seconds() - start;
    std::uint64_t fetched = indexBytes.size();
    std::size_t ranges = 0;
    for (const ByteRange& range : MissingRanges(index, matcher.Sources())) {
        fetched += range.Size();
        ++ranges;
    }
    std::printf("%-28s scan %6.0f MiB/s (%5.2f s)  found %8.2f MiB  fetched %8.3f MiB = %6.2fx changed, %4zu "
                "ranges%s\n",
                name, static_cast<double>(oldBytes) / (1 << 20) / seconds, seconds,
                static_cast<double>(matcher.FoundBytes()) / (1 << 20), static_cast<double>(fetched) / (1 << 20),
                static_cast<double>(fetched) / static_cast<double>(changed), ranges,
                scan == OldCopyScan::kDone ? "" : "  (scan failed)");
}

// The --scan usage.
int ScanGivenCopy(const std::wstring& oldCopy, const std::wstring& indexPath)
{
    std::string bytes;
    BlockIndex index;
    if (!ReadWholeFile(indexPath, bytes) || !ParseBlockIndex(bytes, index)) {
        std::fprintf(stderr, "the index cannot be read\n");
        return 1;
    }
    BlockMatcher matcher(index);
    const double start = bench::Seconds();
    if (ScanOldCopy(oldCopy, matcher, {}) != OldCopyScan::kDone) {
        std::fprintf(stderr, "the old copy cannot be read\n");
        return 1;
    }
    const double seconds = bench::Seconds() - start;
    const std::wstring builtPath = oldCopy + L".built";
    const double passStart = bench::Seconds();
    UniqueFile built(CreateFileW(builtPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    bool passed = static_cast<bool>(built);
    if (passed) {
        const DownloadProgress noProgress;
        const DownloadCancelled neverCancelled;
        StagedBuild build(std::move(built), index.fileSize, noProgress);
        FoundBlockCopy copy(index, build, neverCancelled);
        BlockMatcher writing(index, [&copy](std::size_t block, const unsigned char* data) { copy.Found(block, data); });
        passed = ScanOldCopy(oldCopy, writing, [&copy] { return copy.Stopped(); }) == OldCopyScan::kDone &&
                 copy.Finish() == OldCopyScan::kDone && build.Close();
    }
    const double passSeconds = bench::Seconds() - passStart;
    DeleteFileW(builtPath.c_str());
    if (!passed) {
        std::fprintf(stderr, "the new file cannot be written beside the old copy\n");
        return 1;
    }
    const std::vector<ByteRange> missing = MissingRanges(index, matcher.Sources());
    std::printf("scan %.3f s, pass %.3f s, found %llu bytes, missing %s\n", seconds, passSeconds,
                static_cast<unsigned long long>(matcher.FoundBytes()),
                missing.empty() ? "-" : RangeHeaderValue(missing).substr(6).c_str());
    return 0;
}

}

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && std::wstring(argv[1]) == L"--scan")
        return ScanGivenCopy(argv[2], argv[3]);
    if (argc < 2) {
        std::fprintf(stderr, "usage: block_scan_bench.exe WORK_FOLDER [MIB]\n");
        return 2;
    }
    const std::wstring folder = argv[1];
    const std::uint64_t size = (argc > 2 ? std::wcstoull(argv[2], nullptr, 10) : 512) << 20;
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring old = folder + L"\\old.bin";
    const std::wstring half = folder + L"\\half.bin";
    if (!WriteStream(old, [&](const Out& out) { StreamRandom(size, 1, out); }) ||
        !WriteStream(half, [&](const Out& out) { StreamRandom(size / 2, 1, out); })) {
        std::fprintf(stderr, "cannot write the old copies in the work folder\n");
        return 1;
    }
    std::printf("old copy %llu MiB, %u KiB blocks, %d-bit build\n", static_cast<unsigned long long>(size >> 20),
                kBlockSize / 1024, static_cast<int>(sizeof(void*) * 8));
    Measure("(a) 16 x 64 KiB changed", old, size, IndexOf([&](const Out& out) { StreamChanged(size, out); }),
            16 * 65536);
    Measure("(b) 10 KiB inserted", old, size, IndexOf([&](const Out& out) { StreamInserted(size, out); }), 10240);
    Measure("(c) old copy half", half, size / 2, IndexOf([&](const Out& out) { StreamRandom(size, 1, out); }),
            size - size / 2);
    Measure("(d) unrelated old copy", old, size, IndexOf([&](const Out& out) { StreamRandom(size, 2, out); }), size);
    std::printf("peak working set %.1f MiB\n", bench::PeakWorkingSetMiB());
    DeleteFileW(old.c_str());
    DeleteFileW(half.c_str());
    return 0;
}
