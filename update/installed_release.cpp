#include "update/installed_release.h"

#include "base/unique_resource.h"
#include "update/release_record.h"

#include <windows.h>

namespace {

constexpr DWORD kMaxFileBytes = 32;  // 19 digits and a line feed, with room to spare

std::wstring PathUnder(const std::wstring& clientRoot, const wchar_t* name)
{
    return clientRoot + L"\\" + name;
}

}

std::uint64_t ParseInstalledRelease(std::string_view bytes)
{
    std::uint64_t release = 0;
    if (bytes.empty() || bytes.back() != '\n' || !ParseReleaseNumber(bytes.substr(0, bytes.size() - 1), release))
        return 0;
    return release;
}

std::uint64_t ReadInstalledRelease(const std::wstring& clientRoot)
{
    const std::wstring path = PathUnder(clientRoot, kInstalledReleaseFileName);
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return 0;
    char buffer[kMaxFileBytes] = {};
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer, kMaxFileBytes, &read, nullptr) || read == kMaxFileBytes)
        return 0;
    return ParseInstalledRelease(std::string_view(buffer, read));
}

bool WriteInstalledRelease(const std::wstring& clientRoot, std::uint64_t release)
{
    const std::wstring path = PathUnder(clientRoot, kInstalledReleaseFileName);
    const std::wstring temporary = path + L".new";
    const std::string text = std::to_string(release) + "\n";
    {
        const UniqueFile file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size() || !FlushFileBuffers(file.get())) {
            DeleteFileW(temporary.c_str());
            return false;
        }
    }
    if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}
