// One ApplyClientUpdate from an update site into a client folder: how long it took, from the call to its
// return, and how it ended. Usage: update_bench.exe BASE_URL MANIFEST CLIENT_FOLDER [UPDATE_PUBLIC_KEY [CONNECTIONS]]
// With a key the update is a signed one, as in a launcher built with that key; an empty key is none. CONNECTIONS
// (1 to 16) stands in for the launcher's setting of the files downloaded at once.
// The launcher path given is CLIENT_FOLDER\VornLauncher.exe, so a site without that file never restarts anything.
// Exit status: 0 when the update succeeded, 1 when it failed (the result line says why), 2 for bad arguments.

#include "base/config.h"
#include "base/text.h"
#include "bench/bench_support.h"
#include "update/update_transaction.h"

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <utility>

int wmain(int argc, wchar_t** argv)
{
    vorn::UpdateRequest request;
    request.connections = BuildDefaultConfig().downloadConnections;
    if (argc == 6)
        request.connections = static_cast<std::uint32_t>(std::wcstoul(argv[5], nullptr, 10));
    if (argc < 4 || argc > 6 || request.connections < 1 || request.connections > 16) {
        std::fwprintf(stderr,
                      L"usage: update_bench.exe BASE_URL MANIFEST CLIENT_FOLDER [UPDATE_PUBLIC_KEY [CONNECTIONS]]\n");
        return 2;
    }
    const std::wstring client = argv[3];
    request.siteUrl = argv[1];
    request.manifestName = argv[2];
    request.clientFolder = client;
    request.launcherPath = client + L"\\VornLauncher.exe";
    if (argc >= 5)
        request.publicKey = argv[4];
    double firstDownload = 0;
    double firstMoved = 0;  // the first file's percent first moved: for a file built from an old copy, its scan is done
    double firstVerified = 0;
    double firstInstall = 0;
    const double start = bench::Seconds();
    bench::ProgressObserver observer([&](const vorn::UpdateProgress& progress) {
        if (progress.stage == vorn::UpdateStage::kDownloading && firstDownload == 0)
            firstDownload = bench::Seconds();
        if (progress.stage == vorn::UpdateStage::kDownloading && progress.filePercent > 0 && firstMoved == 0)
            firstMoved = bench::Seconds();
        if (progress.stage == vorn::UpdateStage::kVerifying && firstVerified == 0)
            firstVerified = bench::Seconds();
        if (progress.stage == vorn::UpdateStage::kInstalling && firstInstall == 0)
            firstInstall = bench::Seconds();
    });
    const vorn::UpdateResult result = vorn::ApplyClientUpdate(request, observer);
    const double elapsed = bench::Seconds() - start;
    // The message goes out as UTF-8: the C runtime would stop a wide string at its first character outside ASCII.
    std::printf("update: %s in %.3f s (first file download began at %.3f s, its percent first moved at %.3f s, "
                "first file verified at %.3f s, install at %.3f s), %d files updated, peak working set %.1f MiB: %s\n",
                result.succeeded ? "succeeded" : "failed", elapsed, firstDownload > 0 ? firstDownload - start : 0.0,
                firstMoved > 0 ? firstMoved - start : 0.0, firstVerified > 0 ? firstVerified - start : 0.0,
                firstInstall > 0 ? firstInstall - start : 0.0,
                result.filesUpdated, bench::PeakWorkingSetMiB(), WideToUtf8(result.message).c_str());
    return result.succeeded ? 0 : 1;
}
