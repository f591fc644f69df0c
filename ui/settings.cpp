#include "ui/settings.h"

#include "base/text.h"
#include "base/unique_resource.h"

#include <windows.h>

#include <vector>

namespace {

constexpr wchar_t kLauncherKey[] = L"Software\\VornLauncher";
constexpr wchar_t kGameDisplayKey[] = L"Software\\Quillon\\Tessary\\Config";

std::wstring QueryString(HKEY key, const wchar_t* name)
{
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ || size < 2)
        return {};
    // One spare character: a stored string need not carry its terminating null.
    std::vector<wchar_t> buffer(size / 2 + 1, L'\0');
    DWORD read = size;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &read) != ERROR_SUCCESS)
        return {};
    return std::wstring(buffer.data());
}

DWORD QueryDword(HKEY key, const wchar_t* name, DWORD fallback)
{
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return fallback;
    return value;
}

LauncherSettings ReadStoredSettings()
{
    LauncherSettings stored;
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kLauncherKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return stored;
    stored.account = QueryString(key.get(), L"Account");
    stored.resolutionIndex =
        static_cast<int>(QueryDword(key.get(), L"ResolutionIndex", static_cast<DWORD>(kDefaultResolutionIndex)));
    stored.windowed = QueryDword(key.get(), L"Windowed", 1) != 0;
    return stored;
}

UniqueRegKey CreateForWriting(const wchar_t* path)
{
    UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
        key.reset();
    return key;
}

void WriteString(HKEY key, const wchar_t* name, const std::wstring& text)
{
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void WriteDword(HKEY key, const wchar_t* name, DWORD value)
{
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

}

LauncherSettings LoadSettings()
{
    LauncherSettings settings = ReadStoredSettings();
    settings.resolutionIndex = ClampResolutionIndex(settings.resolutionIndex);
    return settings;
}

void SaveSettings(const LauncherSettings& settings)
{
    const int selection = settings.resolutionIndex;
    const bool windowed = settings.windowed;
    const std::wstring account = ReadAccountText(settings);

    // Each key is written on its own: a launcher key that cannot be written still leaves the game its settings.
    if (const UniqueRegKey key = CreateForWriting(kLauncherKey)) {
        WriteString(key.get(), L"Account", account);
        WriteDword(key.get(), L"ResolutionIndex", static_cast<DWORD>(ClampResolutionIndex(selection)));
        WriteDword(key.get(), L"Windowed", windowed ? 1 : 0);
    }
    if (const UniqueRegKey key = CreateForWriting(kGameDisplayKey)) {
        WriteString(key.get(), L"ID", account);
        WriteDword(key.get(), L"Resolution", static_cast<DWORD>(GameResolutionCode(selection)));
        WriteDword(key.get(), L"WindowMode", windowed ? 0 : 1);
    }
}

std::wstring ReadAccountText(const LauncherSettings& settings)
{
    return TrimWide(settings.account);
}
