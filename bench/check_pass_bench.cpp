// The update call over an up-to-date client, three ways: every file read (the quick check off), the quick check with
// a settled record, and a first start without a record; against a plain read of the same files; with the files in
// the page cache or, one round per run, cold. Usage:
//   check_pass_bench.exe make FOLDER [FILES [TOTAL_MIB]]  (defaults: 20000 files, 1024 MiB)
//       makes the client under FOLDER\client, in folders as uneven as a game's, and its manifest under FOLDER\site
//   check_pass_bench.exe cached FOLDER
//       reads everything once, makes the record, then alternates five rounds of each measure
//   check_pass_bench.exe cold read|full|quick|first FOLDER
//       one round of one measure, for a run that has just emptied the page cache; prints
//       "cold <what> <whole call or read, seconds> <seconds before the first file's check>"
// The site is served from 127.0.0.1.

#include "bench/bench_support.h"
#include "tests/support/http_site.h"
#include "tests/support/process_probe.h"
#include "update/client_listing.h"
#include "update/crc32.h"
#include "update/crc32_compute.h"
#include "update/manifest.h"
#include "update/update_transaction.h"
#include "update/verified_record_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kLauncher[] = L"bench";

// Files in FOLDERS folders on two levels (Data\G<k>\F<j>), folder j holding a share of the files that falls as
// 1/(j+1)^0.8: for 20,000 files, 200 folders from about 2,300 files down to about 40, as a game's data folders are
// a few large ones (interface, items, models) and many small ones (one per map or monster).
std::vector<std::string> ClientLayout(unsigned files)
{
    const unsigned folders = std::max(1u, files / 100);
    std::vector<double> weights(folders);
    double sum = 0;
    for (unsigned j = 0; j < folders; ++j)
        sum += weights[j] = 1.0 / std::pow(j + 1.0, 0.8);
    std::vector<std::string> paths;
    for (unsigned j = 0; j < folders && paths.size() < files; ++j) {
        const auto share = j + 1 == folders ? files - paths.size()
                                            : std::max<std::size_t>(1, std::lround(files * weights[j] / sum));
        const std::string folder = "Data\\G" + std::to_string(j % 10) + "\\F" + std::to_string(j);
        for (std::size_t i = 0; i < share && paths.size() < files; ++i)
            paths.push_back(folder + "\\file" + std::to_string(paths.size()) + ".bin");
    }
    return paths;
}

void Make(const std::wstring& folder, unsigned files, std::uint64_t totalBytes)
{
    const std::wstring client = folder + L"\\client";
    const std::wstring site = folder + L"\\site";
    for (const std::wstring& made : {folder, client, site, client + L"\\Data"})
        CreateDirectoryW(made.c_str(), nullptr);
    for (int k = 0; k < 10; ++k)
        CreateDirectoryW((client + L"\\Data\\G" + std::to_wstring(k)).c_str(), nullptr);

    const std::vector<std::string> paths = ClientLayout(files);
    const std::size_t size = static_cast<std::size_t>(totalBytes / paths.size());
    std::vector<std::uint32_t> words(size / 4 + 1);
    std::uint32_t state = 2463534242u;
    std::string manifest = "[Set]\r\nCount=" + std::to_string(paths.size()) + "\r\n[up]\r\n";
    for (std::size_t i = 0; i < paths.size(); ++i) {
        for (std::uint32_t& word : words) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            word = state;
        }
        const std::wstring path = client + L"\\" + std::wstring(paths[i].begin(), paths[i].end());
        CreateDirectoryW(path.substr(0, path.rfind(L'\\')).c_str(), nullptr);
        probe::WriteFileBytes(path, std::string(reinterpret_cast<const char*>(words.data()), size));
        const std::wstring crc = FormatCrc32(Crc32(0, words.data(), size));
        const std::string n = std::to_string(i + 1);
        manifest += "File" + n + "=" + paths[i] + "\r\nCFile" + n + "=" + paths[i] + "\r\nXYZ" + n + "=" +
                    std::string(crc.begin(), crc.end()) + "\r\n";
    }
    probe::WriteFileBytes(site + L"\\up.ini", manifest);
}

struct Client {
    std::wstring root;
    std::vector<ManifestEntry> entries;
    std::vector<std::wstring> paths;  // each entry's local path
    std::uint64_t bytes = 0;
};

Client Open(const std::wstring& folder)
{
    Client client{folder + L"\\client", {}, {}, 0};
    vorn::Result<std::vector<ManifestEntry>> parsed = ParseManifest(folder + L"\\site\\up.ini");
    if (parsed)
        client.entries = std::move(*parsed);
    else
        std::fwprintf(stderr, L"manifest: %ls\n", parsed.message().c_str());
    for (const ManifestEntry& entry : client.entries) {
        client.paths.push_back(entry.localPath);
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (GetFileAttributesExW((client.root + L"\\" + entry.localPath).c_str(), GetFileExInfoStandard, &data))
            client.bytes += (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    return client;
}

double PlainRead(const Client& client)
{
    std::vector<char> buffer(65536);
    std::uint64_t total = 0;
    const double start = bench::Seconds();
    for (const std::wstring& path : client.paths) {
        const UniqueFile file(CreateFileW((client.root + L"\\" + path).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        DWORD read = 0;
        while (file && ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) &&
               read > 0)
            total += read;
    }
    const double elapsed = bench::Seconds() - start;
    if (total != client.bytes)
        std::fwprintf(stderr, L"plain read saw %llu bytes\n", static_cast<unsigned long long>(total));
    return elapsed;
}

// The three ways an update call checks an up-to-date client: every file read (the quick check off), the quick
// check with a settled record (no file read), and a first start (no record: every file read while the folders are
// listed beside, and the record written).
enum class Pass { kFull, kQuick, kFirst };

struct UpdateTimes {
    double call = 0;
    double beforeCheck = 0;  // staging folder, manifest download and parse, validation of every path, the record
};

UpdateTimes UpdateCall(const probe::HttpSite& site, const std::wstring& folder, Pass pass)
{
    const std::wstring client = folder + L"\\client";
    if (pass == Pass::kFirst)
        DeleteFileW((client + L"\\" + kVerifiedRecordFileName).c_str());
    double firstCheck = 0;
    const double start = bench::Seconds();
    vorn::UpdateRequest request;
    request.siteUrl = site.BaseUrl();
    request.manifestName = L"up.ini";
    request.clientFolder = client;
    request.launcherPath = client + L"\\VornLauncher.exe";
    request.quickCheck = pass != Pass::kFull;
    request.launcherVersion = kLauncher;
    bench::ProgressObserver observer([&](const vorn::UpdateProgress& progress) {
        if (progress.stage == vorn::UpdateStage::kChecking && progress.current == 1)
            firstCheck = bench::Seconds();
    });
    const vorn::UpdateResult result = vorn::ApplyClientUpdate(request, observer);
    const double end = bench::Seconds();
    if (!result.succeeded || result.filesUpdated != 0)
        std::fwprintf(stderr, L"update call: %ls\n", result.message.c_str());
    return {end - start, firstCheck - start};
}

// A file read or an unsettled record would make the quick pass a full one unnoticed: the record must remember
// every file, and the files must be older than its moment by the margin.
void RequireSettledRecord(const Client& client)
{
    const VerifiedFilesAtStart basis = LoadVerifiedFiles(client.root, kLauncher);
    const std::vector<std::optional<FileStamp>> stamps = ListClientFiles(client.root, client.paths);
    std::size_t trusted = 0;
    for (std::size_t i = 0; i < client.paths.size(); ++i)
        trusted += basis.remembered.TrustedCrc(client.paths[i], stamps[i]).has_value();
    if (trusted != client.paths.size())
        std::fwprintf(stderr, L"the record trusts %zu of %zu files: the quick pass reads the others\n", trusted,
                      client.paths.size());
}

void Cached(const std::wstring& folder)
{
    const Client client = Open(folder);
    const probe::HttpSite site(folder + L"\\site");
    PlainRead(client);
    // The record trusts only files whose times lie safely before its moment.
    Sleep(static_cast<DWORD>(kRacyMargin / 10'000) + 200);
    UpdateCall(site, folder, Pass::kFirst);
    RequireSettledRecord(client);
    double bestRead = 1e9;
    double best[3] = {1e9, 1e9, 1e9};  // whole call, by Pass
    double bestBefore = 1e9;           // the full call's part before its check pass
    double bestCheck[3] = {1e9, 1e9, 1e9};
    for (int round = 0; round < 5; ++round) {
        const double read = PlainRead(client);
        const UpdateTimes full = UpdateCall(site, folder, Pass::kFull);
        const UpdateTimes first = UpdateCall(site, folder, Pass::kFirst);
        const UpdateTimes quick = UpdateCall(site, folder, Pass::kQuick);
        // What comes before the check pass is the same work in every call; the full call's share of it is taken
        // from each, so what a quick call spends on its record counts as its check pass.
        const double check[3] = {full.call - full.beforeCheck, quick.call - full.beforeCheck,
                                 first.call - full.beforeCheck};
        std::wprintf(L"round %d: plain read %.3f s; whole call: full %.3f s (before the check pass %.3f s), quick "
                     L"%.3f s, first start %.3f s; check pass: full %.3f s, quick %.3f s, first start %.3f s\n",
                     round + 1, read, full.call, full.beforeCheck, quick.call, first.call, check[0], check[1],
                     check[2]);
        bestRead = std::min(bestRead, read);
        bestBefore = std::min(bestBefore, full.beforeCheck);
        const double calls[3] = {full.call, quick.call, first.call};
        for (int k = 0; k < 3; ++k) {
            best[k] = std::min(best[k], calls[k]);
            bestCheck[k] = std::min(bestCheck[k], check[k]);
        }
    }
    std::wprintf(L"cached, best of 5 (%zu files, %.0f MiB): plain read %.3f s (%.0f MiB/s); check pass: full %.3f s, "
                 L"quick %.3f s, first start %.3f s; whole call: full %.3f s (before the check pass %.3f s), quick "
                 L"%.3f s, first start %.3f s\n",
                 client.entries.size(), static_cast<double>(client.bytes) / 1048576.0, bestRead,
                 static_cast<double>(client.bytes) / 1048576.0 / bestRead, bestCheck[0], bestCheck[1], bestCheck[2],
                 best[0], bestBefore, best[1], best[2]);
    std::wprintf(L"cached ratios: full check pass / plain read = %.2f; quick / full: check pass %.3f, whole call "
                 L"%.3f; first start / full: check pass %.3f, whole call %.3f\n",
                 bestCheck[0] / bestRead, bestCheck[1] / bestCheck[0], best[1] / best[0], bestCheck[2] / bestCheck[0],
                 best[2] / best[0]);
}

// One round in a process of its own, for a run that has just emptied the page cache; prints the whole call and
// its part before the first file's check. For quick, the record is settled by the rounds before (the cached ones
// make it).
void Cold(const std::wstring& what, const std::wstring& folder)
{
    const Client client = Open(folder);
    UpdateTimes times{-1, 0};
    if (what == L"read") {
        times.call = PlainRead(client);
    } else {
        const Pass pass = what == L"full" ? Pass::kFull : what == L"quick" ? Pass::kQuick : Pass::kFirst;
        const probe::HttpSite site(folder + L"\\site");
        times = UpdateCall(site, folder, pass);
    }
    std::wprintf(L"cold %ls %.3f %.3f\n", what.c_str(), times.call, times.beforeCheck);
}
}

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"make" && argc >= 3) {
        const unsigned files = argc > 3 ? static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10)) : 20000;
        const std::uint64_t totalBytes = (argc > 4 ? std::wcstoull(argv[4], nullptr, 10) : 1024) << 20;
        const double start = bench::Seconds();
        Make(argv[2], files, totalBytes);
        std::wprintf(L"made %u files, %llu MiB, in %.1f s\n", files,
                     static_cast<unsigned long long>(totalBytes >> 20), bench::Seconds() - start);
        return 0;
    }
    if (command == L"cached" && argc == 3) {
        Cached(argv[2]);
        return 0;
    }
    if (command == L"cold" && argc == 4) {
        Cold(argv[2], argv[3]);
        return 0;
    }
    std::fwprintf(stderr, L"usage: check_pass_bench.exe make FOLDER [FILES [TOTAL_MIB]] | cached FOLDER | cold "
                          L"read|full|quick|first FOLDER\n");
    return 2;
}
