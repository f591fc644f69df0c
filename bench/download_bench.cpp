// DownloadToFile of one URL into one file: time, throughput and the peak working set of the process, and whether
// the progress reports were sound (never back, always against the file's length, ending at it).
// Usage: download_bench.exe URL TARGET [CONNECTIONS]
// With CONNECTIONS (1 to 16) the download shares that many connections as an update does (a large file then
// comes in parts); without, it runs alone.

#include "base/text.h"
#include "bench/bench_support.h"
#include "update/file_download.h"
#include "update/http_download.h"
#include "update/site_connections.h"

#include <cstdio>
#include <filesystem>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    const unsigned long connections = argc == 4 ? std::wcstoul(argv[3], nullptr, 10) : 1;
    if (argc < 3 || argc > 4 || connections < 1 || connections > 16) {
        std::fwprintf(stderr, L"usage: download_bench.exe URL TARGET [CONNECTIONS]\n");
        return 2;
    }
    const double peakBefore = bench::PeakWorkingSetMiB();
    std::uint64_t bytes = 0;
    std::uint64_t length = 0;
    std::uint64_t reports = 0;
    bool sound = true;
    const auto progress = [&](std::uint64_t received, std::uint64_t total) {
        sound = sound && received >= bytes && received <= total && (reports == 0 || total == length);
        bytes = received;
        length = total;
        ++reports;
    };
    std::wstring error;
    const double start = bench::Seconds();
    bool ok = false;
    if (argc == 4) {
        WinHttpFetcher fetcher;
        SiteConnections site(static_cast<std::uint32_t>(connections));
        TransferLimits limits;
        limits.site = &site;
        DiskRoom room(FreeSpaceOf(std::filesystem::path(argv[2]).parent_path().wstring()));
        const vorn::Status done = DownloadToFile(fetcher, argv[1], argv[2], limits, room, progress, {});
        ok = done.ok();
        error = done.message();
    } else {
        const vorn::Status done = DownloadToFile(argv[1], argv[2], progress, {});
        ok = done.ok();
        error = done.message();
    }
    const double elapsed = bench::Seconds() - start;
    if (!ok) {
        // As UTF-8: the C runtime would stop a wide string at its first character outside ASCII.
        std::fprintf(stderr, "download failed: %s\n", WideToUtf8(error).c_str());
        return 1;
    }
    std::wprintf(L"DownloadToFile: %llu bytes in %.3f s = %.1f MiB/s; peak working set %.1f MiB (%.1f MiB before); "
                 L"%llu progress reports, %ls, the last %llu of %llu\n",
                 static_cast<unsigned long long>(bytes), elapsed, static_cast<double>(bytes) / 1048576.0 / elapsed,
                 bench::PeakWorkingSetMiB(), peakBefore, static_cast<unsigned long long>(reports),
                 sound ? L"never back nor past the length" : L"UNSOUND", static_cast<unsigned long long>(bytes),
                 static_cast<unsigned long long>(length));
    return sound ? 0 : 1;
}
