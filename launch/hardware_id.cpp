#include "launch/hardware_id.h"

#include "base/unique_resource.h"

#include <objbase.h>

#include <vector>

namespace {

constexpr wchar_t kCryptographyKey[] = L"SOFTWARE\\Microsoft\\Cryptography";
constexpr wchar_t kMachineGuidValue[] = L"MachineGuid";
constexpr wchar_t kLauncherKey[] = L"Software\\VornLauncher";
constexpr wchar_t kHardwareIdValue[] = L"HardwareId";

// Anything longer is not an id; the cap also bounds what a damaged registry can make us allocate.
constexpr DWORD kMaxValueBytes = 4096;

void StoreHardwareId(const std::wstring& id)
{
    UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kLauncherKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                        nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return;
    // A failed write only means a new id is made next time; the id of this launch still stands.
    RegSetValueExW(key.get(), kHardwareIdValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(id.c_str()),
                   static_cast<DWORD>((id.size() + 1) * sizeof(wchar_t)));
}

}

std::wstring ReadRegistryString(HKEY root, const wchar_t* subkey, const wchar_t* name, REGSAM extraAccess)
{
    UniqueRegKey key;
    if (RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE | extraAccess, key.put()) != ERROR_SUCCESS)
        return {};
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return {};
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || size < 2 || size > kMaxValueBytes)
        return {};
    // One unit more than the data so the text ends in a NUL even when the stored value does not.
    std::vector<wchar_t> buffer(size / 2 + 1, L'\0');
    if (RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
        ERROR_SUCCESS)
        return {};
    return SanitizeField(buffer.data());
}

std::wstring NewHardwareGuid()
{
    GUID guid{};
    if (FAILED(CoCreateGuid(&guid)))
        return {};
    wchar_t text[40] = {};
    if (StringFromGUID2(guid, text, 40) <= 0)
        return {};
    std::wstring id;
    for (const wchar_t* c = text; *c != L'\0'; ++c) {
        if (*c != L'{' && *c != L'}')
            id.push_back(*c);
    }
    return SanitizeField(id);
}

std::wstring GetHardwareId()
{
    for (const REGSAM view : {REGSAM{KEY_WOW64_64KEY}, REGSAM{0}}) {
        std::wstring id = ReadRegistryString(HKEY_LOCAL_MACHINE, kCryptographyKey, kMachineGuidValue, view);
        if (!id.empty())
            return id;
    }
    std::wstring stored = ReadRegistryString(HKEY_CURRENT_USER, kLauncherKey, kHardwareIdValue, 0);
    if (!stored.empty())
        return stored;

    std::wstring fresh = NewHardwareGuid();
    if (!fresh.empty())
        StoreHardwareId(fresh);
    return fresh;
}
