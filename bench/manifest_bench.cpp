// Reading the update manifest: ParseManifest on a 100000-entry manifest, against the per-key way (one
// GetPrivateProfileStringW per key, which rescans the reader's list of keys every time) on a 20000-entry one, and
// ParseManifest on that same 20000-entry file for the direct ratio. Runs under Wine.

#include "update/manifest.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring WriteManifest(const std::wstring& folder, int count)
{
    std::string text = "[Set]\r\nCount=" + std::to_string(count) + "\r\n[up]\r\n";
    for (int n = 1; n <= count; ++n) {
        const std::string number = std::to_string(n);
        const std::string path = "data/set" + std::to_string(n % 97) + "/item" + number + ".bmd";
        char crc[16];
        std::snprintf(crc, sizeof(crc), "%08X", static_cast<unsigned>(n) * 2654435761u);
        text += "File" + number + "=" + path + "\r\nCFile" + number + "=" + path + "\r\nXYZ" + number + "=" + crc +
                "\r\n";
    }
    const std::wstring path = folder + L"\\up-" + std::to_wstring(count) + L".ini";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return path;
}

// What reading the manifest key by key costs: the same lookups ParseManifest needs, through the system reader.
std::size_t ReadPerKey(const std::wstring& path)
{
    const int count = std::stoi(ReadIniString(path, L"Set", L"Count"));
    std::size_t characters = 0;
    for (int n = 1; n <= count; ++n) {
        const std::wstring number = std::to_wstring(n);
        characters += ReadIniString(path, L"up", L"File" + number).size();
        characters += ReadIniString(path, L"up", L"CFile" + number).size();
        characters += ReadIniString(path, L"up", L"XYZ" + number).size();
    }
    return characters;
}

template <typename F>
double Seconds(F&& run)
{
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double TimeParse(const std::wstring& path, std::size_t expected)
{
    const double seconds = Seconds([&] {
        const vorn::Result<std::vector<ManifestEntry>> entries = ParseManifest(path);
        if (!entries || entries->size() != expected) {
            std::fprintf(stderr, "ParseManifest failed: %ls\n", entries.message().c_str());
            std::exit(EXIT_FAILURE);
        }
    });
    return seconds;
}

}

int wmain()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"vorn-manifest-bench-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring large = WriteManifest(folder, 100000);
    const std::wstring small = WriteManifest(folder, 20000);

    const double parseLarge = TimeParse(large, 100000);
    const double parseSmall = TimeParse(small, 20000);
    std::size_t characters = 0;
    const double perKeySmall = Seconds([&] { characters = ReadPerKey(small); });

    std::printf("ParseManifest, 100000 entries:             %8.3f s\n", parseLarge);
    std::printf("ParseManifest,  20000 entries:             %8.3f s\n", parseSmall);
    std::printf("per-key GetPrivateProfileStringW, 20000:   %8.3f s  (%zu characters read)\n", perKeySmall,
                characters);
    std::printf("ratio per-key / ParseManifest at 20000:    %8.1fx\n", perKeySmall / parseSmall);
    std::printf("ratio per-key 20000 / ParseManifest 100000: %7.1fx (5x the entries)\n", perKeySmall / parseLarge);

    DeleteFileW(large.c_str());
    DeleteFileW(small.c_str());
    RemoveDirectoryW(folder.c_str());
    return EXIT_SUCCESS;
}
