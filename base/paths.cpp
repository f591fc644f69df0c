#include "base/paths.h"

#include <windows.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

namespace {

constexpr DWORD kPathBufferChars = 32768;

std::wstring clientRoot;

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// The module file name and the length the system returned (0 on failure, the whole buffer when it was cut).
std::pair<std::wstring, DWORD> ReadModuleFileName()
{
    std::vector<wchar_t> buffer(kPathBufferChars);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), kPathBufferChars);
    return {std::wstring(buffer.data(), length), length};
}

}

std::wstring GetExecutablePath()
{
    return ReadModuleFileName().first;
}

std::wstring ClientRootFromExecutablePath(const std::wstring& executablePath)
{
    std::wstring::size_type end = executablePath.size();
    while (end > 0 && !IsSeparator(executablePath[end - 1]))
        --end;
    while (end > 0 && IsSeparator(executablePath[end - 1]))
        --end;
    // "C:\launcher.exe" must give "C:\", not the drive-relative "C:".
    if (end == 2 && executablePath[1] == L':' && executablePath.size() > 2 && IsSeparator(executablePath[2]))
        return executablePath.substr(0, 3);
    return executablePath.substr(0, end);
}

std::wstring DetermineClientRoot()
{
    auto [path, length] = ReadModuleFileName();
    if (length == 0 || length >= kPathBufferChars)
        throw std::runtime_error("GetModuleFileNameW failed");
    return ClientRootFromExecutablePath(path);
}

const std::wstring& ClientRoot()
{
    return clientRoot;
}

void InstallClientRoot(std::wstring root)
{
    clientRoot = std::move(root);
}

bool EnsureParentFolder(const std::wstring& path)
{
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (parent.empty())
        return true;
    std::error_code error;
    if (std::filesystem::create_directories(parent, error))
        return true;
    return std::filesystem::is_directory(parent, error);
}
