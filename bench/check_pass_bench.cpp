// The check pass of ApplyClientUpdate against a plain read of the same files, in one run.
// Usage: check_pass_bench.exe FOLDER [FILES [TOTAL_MIB]]   (defaults: 20000 files, 1024 MiB)
// Makes the client files under FOLDER\client and their manifest under FOLDER\site (served from 127.0.0.1), reads
// everything once so both sides find the files in the cache, then alternates five plain reads and five update
// calls in which every file is current. FOLDER is removed at the end.

#include "bench/bench_support.h"
#include "tests/support/http_site.h"
#include "tests/support/process_probe.h"
#include "update/crc32.h"
#include "update/crc32_compute.h"
#include "update/update_transaction.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Client {
    std::vector<std::wstring> paths;
    std::uint64_t bytes = 0;
};

Client MakeClient(const std::wstring& folder, unsigned files, std::uint64_t totalBytes)
{
    const std::wstring client = folder + L"\\client";
    const std::wstring site = folder + L"\\site";
    CreateDirectoryW(folder.c_str(), nullptr);
    CreateDirectoryW(client.c_str(), nullptr);
    CreateDirectoryW(site.c_str(), nullptr);
    CreateDirectoryW((client + L"\\Data").c_str(), nullptr);

    const std::size_t size = static_cast<std::size_t>(totalBytes / files);
    std::vector<std::uint32_t> words(size / 4 + 1);
    std::uint32_t state = 2463534242u;
    std::string manifest = "[Set]\r\nCount=" + std::to_string(files) + "\r\n[up]\r\n";
    Client made;
    for (unsigned i = 0; i < files; ++i) {
        if (i % 200 == 0)
            CreateDirectoryW((client + L"\\Data\\Dir" + std::to_wstring(i / 200)).c_str(), nullptr);
        for (std::uint32_t& word : words) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            word = state;
        }
        const std::string relative = "Data\\Dir" + std::to_string(i / 200) + "\\file" + std::to_string(i) + ".bin";
        const std::wstring path = client + L"\\" + std::wstring(relative.begin(), relative.end());
        probe::WriteFileBytes(path, std::string(reinterpret_cast<const char*>(words.data()), size));
        const std::wstring crc = FormatCrc32(Crc32(0, words.data(), size));
        const std::string n = std::to_string(i + 1);
        manifest += "File" + n + "=" + relative + "\r\nCFile" + n + "=" + relative + "\r\nXYZ" + n + "=" +
                    std::string(crc.begin(), crc.end()) + "\r\n";
        made.paths.push_back(path);
        made.bytes += size;
    }
    probe::WriteFileBytes(site + L"\\up.ini", manifest);
    return made;
}

double PlainRead(const Client& client)
{
    std::vector<char> buffer(65536);
    std::uint64_t total = 0;
    const double start = bench::Seconds();
    for (const std::wstring& path : client.paths) {
        const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
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

UpdateTimes CheckPass(const probe::HttpSite& site, const std::wstring& folder)
{
    double firstCheck = 0;
    double finished = 0;
    const double start = bench::Seconds();
    const vorn::UpdateResult result = vorn::ApplyClientUpdate(
        site.BaseUrl(), L"up.ini", folder + L"\\client", folder + L"\\client\\VornLauncher.exe", {}, {}, {},
        [&](const vorn::UpdateProgress& progress) {
            if (progress.stage == 1 && progress.current == 1)
                firstCheck = bench::Seconds();
            if (progress.stage == 5)
                finished = bench::Seconds();
        });
    const double end = bench::Seconds();
    if (!result.succeeded || result.filesUpdated != 0)
        std::fwprintf(stderr, L"update call: %ls\n", result.message.c_str());
    return {end - start, firstCheck - start, finished - firstCheck};
}

}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        std::fwprintf(stderr, L"usage: check_pass_bench.exe FOLDER [FILES [TOTAL_MIB]]\n");
        return 2;
    }
    const std::wstring folder = argv[1];
    const unsigned files = argc > 2 ? static_cast<unsigned>(std::wcstoul(argv[2], nullptr, 10)) : 20000;
    const std::uint64_t totalBytes = (argc > 3 ? std::wcstoull(argv[3], nullptr, 10) : 1024) << 20;

    const double makeStart = bench::Seconds();
    const Client client = MakeClient(folder, files, totalBytes);
    std::wprintf(L"made %zu files, %.1f MiB, in %.1f s\n", client.paths.size(),
                 static_cast<double>(client.bytes) / 1048576.0, bench::Seconds() - makeStart);
    {
        probe::HttpSite site(folder + L"\\site");
        PlainRead(client);
        double bestRead = 1e9;
        UpdateTimes best{1e9, 1e9, 1e9};
        for (int round = 0; round < 5; ++round) {
            const double read = PlainRead(client);
            const UpdateTimes update = CheckPass(site, folder);
            std::wprintf(L"round %d: plain read %.3f s, update call %.3f s (before the check pass %.3f s, check "
                         L"pass %.3f s)\n",
                         round + 1, read, update.call, update.beforeCheck, update.checkPass);
            bestRead = std::min(bestRead, read);
            best.call = std::min(best.call, update.call);
            best.beforeCheck = std::min(best.beforeCheck, update.beforeCheck);
            best.checkPass = std::min(best.checkPass, update.checkPass);
        }
        std::wprintf(L"best: plain read %.3f s (%.0f MiB/s), check pass %.3f s, before it %.3f s, whole call %.3f s; "
                     L"check pass / plain read = %.2f, whole call / plain read = %.2f\n",
                     bestRead, static_cast<double>(client.bytes) / 1048576.0 / bestRead, best.checkPass,
                     best.beforeCheck, best.call, best.checkPass / bestRead, best.call / bestRead);
    }
    probe::RemoveTree(folder);
    return 0;
}
