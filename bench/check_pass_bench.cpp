// The check pass of ApplyClientUpdate against a plain read of the same files and against the parts of a check
// that trusts the record of verified files (the record read, one listing per folder, a decision per file), with
// the files in the page cache or, one round per run, cold. Usage:
//   check_pass_bench.exe make FOLDER [FILES [TOTAL_MIB]]  (defaults: 20000 files, 1024 MiB)
//       makes the client under FOLDER\client, in folders as uneven as a game's, and its manifest under FOLDER\site
//   check_pass_bench.exe cached FOLDER
//       reads everything once, makes the record, then alternates five rounds of each measure
//   check_pass_bench.exe cold read|update|quick FOLDER
//       one round of one measure, for a run that has just emptied the page cache; prints "cold <what> <seconds>"
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

struct UpdateTimes {
    double call = 0;
    double beforeCheck = 0;  // staging folder, manifest download and parse, validation of every path
    double checkPass = 0;
};

UpdateTimes UpdateCall(const probe::HttpSite& site, const std::wstring& folder)
{
    double firstCheck = 0;
    double finished = 0;
    const double start = bench::Seconds();
    vorn::UpdateRequest request;
    request.siteUrl = site.BaseUrl();
    request.manifestName = L"up.ini";
    request.clientFolder = folder + L"\\client";
    request.launcherPath = folder + L"\\client\\VornLauncher.exe";
    bench::ProgressObserver observer([&](const vorn::UpdateProgress& progress) {
        if (progress.stage == vorn::UpdateStage::kChecking && progress.current == 1)
            firstCheck = bench::Seconds();
        if (progress.stage == vorn::UpdateStage::kFinished)
            finished = bench::Seconds();
    });
    const vorn::UpdateResult result = vorn::ApplyClientUpdate(request, observer);
    const double end = bench::Seconds();
    if (!result.succeeded || result.filesUpdated != 0)
        std::fwprintf(stderr, L"update call: %ls\n", result.message.c_str());
    return {end - start, firstCheck - start, finished - firstCheck};
}

struct RecordTimes {
    double total = 0;
    double listing = 0;  // one listing per folder
};

// What a first start adds to today's pass: the listing, and the record made from it and written.
RecordTimes MakeRecord(const Client& client)
{
    const double start = bench::Seconds();
    const std::optional<FolderIdentity> folder = IdentifyClientFolder(client.root);
    const std::optional<std::int64_t> moment = FolderClockNow(client.root);
    const double loaded = bench::Seconds();
    const std::vector<std::optional<FileStamp>> stamps = ListClientFiles(client.root, client.paths);
    const double listed = bench::Seconds();
    VerifiedRecord record{kLauncher, folder.value_or(FolderIdentity{}), moment.value_or(0), {}};
    record.files.reserve(client.entries.size());
    for (std::size_t i = 0; i < client.entries.size(); ++i) {
        std::uint32_t crc = 0;
        if (stamps[i] && ParseCrc32Text(client.entries[i].crc32Hex, crc))
            record.files.push_back({client.paths[i], *stamps[i], crc});
    }
    if (!folder || !moment || !SaveVerifiedFiles(client.root, record))
        std::fwprintf(stderr, L"the record could not be made\n");
    return {bench::Seconds() - start, listed - loaded};
}

struct QuickTimes {
    double total = 0;
    double record = 0;   // the folder's identity and clock, the record read and parsed
    double listing = 0;  // one listing per folder
};

// The quick check: the record read, every folder listed once, each file trusted or read; an up-to-date client
// whose record is settled reads nothing.
QuickTimes QuickCheck(const Client& client)
{
    const double start = bench::Seconds();
    const VerifiedFilesAtStart basis = LoadVerifiedFiles(client.root, kLauncher);
    const double loaded = bench::Seconds();
    const std::vector<std::optional<FileStamp>> stamps = ListClientFiles(client.root, client.paths);
    const double listed = bench::Seconds();
    std::size_t read = 0;
    std::size_t outOfDate = 0;
    for (std::size_t i = 0; i < client.entries.size(); ++i) {
        std::optional<std::uint32_t> crc = basis.remembered.TrustedCrc(client.paths[i], stamps[i]);
        if (!crc) {
            ++read;
            const vorn::Result<std::uint32_t> found = FileCrc32(client.root + L"\\" + client.paths[i]);
            crc = found ? *found : 0;
        }
        outOfDate += FormatCrc32(*crc) != client.entries[i].crc32Hex;
    }
    const QuickTimes times{bench::Seconds() - start, loaded - start, listed - loaded};
    if (read != 0 || outOfDate != 0 || basis.remembered.Count() != client.entries.size())
        std::fwprintf(stderr, L"quick check: %zu of %zu remembered, %zu read, %zu out of date\n",
                      basis.remembered.Count(), client.entries.size(), read, outOfDate);
    return times;
}

void Cached(const std::wstring& folder)
{
    const Client client = Open(folder);
    const probe::HttpSite site(folder + L"\\site");
    PlainRead(client);
    // The record trusts only files whose times lie safely before its moment.
    Sleep(static_cast<DWORD>(kRacyMargin / 10'000) + 200);
    MakeRecord(client);
    double bestRead = 1e9;
    UpdateTimes best{1e9, 1e9, 1e9};
    QuickTimes bestQuick{1e9, 1e9, 1e9};
    RecordTimes bestRecord{1e9, 1e9};
    for (int round = 0; round < 5; ++round) {
        const double read = PlainRead(client);
        const UpdateTimes update = UpdateCall(site, folder);
        const QuickTimes quick = QuickCheck(client);
        const RecordTimes record = MakeRecord(client);
        std::wprintf(L"round %d: plain read %.3f s, update call %.3f s (before the check pass %.3f s, check pass "
                     L"%.3f s), quick check %.3f s (record %.3f s, listing %.3f s), record made %.3f s (listing "
                     L"%.3f s)\n",
                     round + 1, read, update.call, update.beforeCheck, update.checkPass, quick.total, quick.record,
                     quick.listing, record.total, record.listing);
        bestRead = std::min(bestRead, read);
        best.call = std::min(best.call, update.call);
        best.beforeCheck = std::min(best.beforeCheck, update.beforeCheck);
        best.checkPass = std::min(best.checkPass, update.checkPass);
        bestQuick.total = std::min(bestQuick.total, quick.total);
        bestQuick.record = std::min(bestQuick.record, quick.record);
        bestQuick.listing = std::min(bestQuick.listing, quick.listing);
        bestRecord.total = std::min(bestRecord.total, record.total);
        bestRecord.listing = std::min(bestRecord.listing, record.listing);
    }
    std::wprintf(L"cached, best of 5 (%zu files, %.0f MiB): plain read %.3f s (%.0f MiB/s), check pass %.3f s, "
                 L"before it %.3f s, whole call %.3f s, quick check %.3f s (record %.3f s, listing %.3f s), record "
                 L"made %.3f s (listing %.3f s)\n",
                 client.entries.size(), static_cast<double>(client.bytes) / 1048576.0, bestRead,
                 static_cast<double>(client.bytes) / 1048576.0 / bestRead, best.checkPass, best.beforeCheck,
                 best.call, bestQuick.total, bestQuick.record, bestQuick.listing, bestRecord.total,
                 bestRecord.listing);
    // A first start can list while it reads (the listing on a thread of its own): then only the rest of the record's
    // making adds to the pass. Both figures are shown.
    std::wprintf(L"cached ratios: check pass / plain read = %.2f, whole call / plain read = %.2f, quick check / check "
                 L"pass = %.3f, first start / check pass = %.3f (listing apart: %.3f)\n",
                 best.checkPass / bestRead, best.call / bestRead, bestQuick.total / best.checkPass,
                 (best.checkPass + bestRecord.total) / best.checkPass,
                 (best.checkPass + bestRecord.total - bestRecord.listing) / best.checkPass);
}

void Cold(const std::wstring& what, const std::wstring& folder)
{
    const Client client = Open(folder);
    double seconds = -1;
    if (what == L"read") {
        seconds = PlainRead(client);
    } else if (what == L"update") {
        const probe::HttpSite site(folder + L"\\site");
        seconds = UpdateCall(site, folder).checkPass;
    } else if (what == L"quick") {
        seconds = QuickCheck(client).total;
    }
    std::wprintf(L"cold %ls %.3f\n", what.c_str(), seconds);
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
                          L"read|update|quick FOLDER\n");
    return 2;
}
