// One update transaction against a hostile site: the bytes it wrote into the staging folder, the time it took
// and the peak working set of the process. Usage: update_limits_bench.exe BASE_URL MANIFEST_NAME CLIENT_FOLDER

#include "base/text.h"
#include "bench/bench_support.h"
#include "update/http_download.h"
#include "update/update_transaction.h"

#include <cstdio>
#include <string>

namespace {

// Everything the transaction writes into its staging folder goes through a sink; this one counts it.
class CountingSink final : public FetchSink {
public:
    CountingSink(FetchSink& inner, std::uint64_t& written) : inner_(inner), written_(written) {}
    vorn::Status Open(const FetchReply& reply) override
    {
        return inner_.Open(reply);
    }
    vorn::Status Write(const char* data, std::size_t size) override
    {
        written_ += size;
        return inner_.Write(data, size);
    }
    std::optional<ResumePoint> Resume() const override
    {
        return inner_.Resume();
    }
    void Forget() override
    {
        inner_.Forget();
    }

private:
    FetchSink& inner_;
    std::uint64_t& written_;
};

class CountingFetcher final : public Fetcher {
public:
    std::uint64_t written = 0;

    FetchResult Fetch(const std::wstring& url, FetchSink& sink, const TransferLimits& limits,
                      const DownloadProgress& onProgress, const DownloadCancelled& isCancelled) override
    {
        CountingSink counting(sink, written);
        return real_.Fetch(url, counting, limits, onProgress, isCancelled);
    }

private:
    WinHttpFetcher real_;
};

}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4) {
        std::fwprintf(stderr, L"usage: update_limits_bench.exe BASE_URL MANIFEST_NAME CLIENT_FOLDER\n");
        return 2;
    }
    const double peakBefore = bench::PeakWorkingSetMiB();
    CountingFetcher fetcher;
    const double start = bench::Seconds();
    vorn::UpdateRequest request;
    request.siteUrl = argv[1];
    request.manifestName = argv[2];
    request.clientFolder = argv[3];
    request.launcherPath = std::wstring(argv[3]) + L"\\Launcher.exe";
    bench::ProgressObserver observer;
    const vorn::UpdateResult result = vorn::ApplyClientUpdate(request, observer, fetcher);
    const double elapsed = bench::Seconds() - start;
    std::printf("%s: %.2f MiB written to staging in %.1f s; peak working set %.1f MiB (%.1f MiB before)\n  %s\n",
                WideToUtf8(argv[2]).c_str(), static_cast<double>(fetcher.written) / 1048576.0, elapsed,
                bench::PeakWorkingSetMiB(), peakBefore, WideToUtf8(result.message).c_str());
    return 0;
}
