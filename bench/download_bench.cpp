// DownloadToFile of one URL into one file: time, throughput and the peak working set of the process.
// Usage: download_bench.exe URL TARGET

#include "base/text.h"
#include "bench/bench_support.h"
#include "update/file_download.h"

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fwprintf(stderr, L"usage: download_bench.exe URL TARGET\n");
        return 2;
    }
    const double peakBefore = bench::PeakWorkingSetMiB();
    std::uint64_t bytes = 0;
    std::wstring error;
    const double start = bench::Seconds();
    const bool ok = DownloadToFile(
        argv[1], argv[2], [&](std::uint64_t received, std::uint64_t) { bytes = received; }, error, {});
    const double elapsed = bench::Seconds() - start;
    if (!ok) {
        // As UTF-8: the C runtime would stop a wide string at its first character outside ASCII.
        std::fprintf(stderr, "download failed: %s\n", WideToUtf8(error).c_str());
        return 1;
    }
    std::wprintf(L"DownloadToFile: %llu bytes in %.3f s = %.1f MiB/s; peak working set %.1f MiB (%.1f MiB before)\n",
                 static_cast<unsigned long long>(bytes), elapsed, static_cast<double>(bytes) / 1048576.0 / elapsed,
                 bench::PeakWorkingSetMiB(), peakBefore);
    return 0;
}
