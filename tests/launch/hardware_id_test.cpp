#include "launch/hardware_id.h"

#include "base/unique_resource.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <optional>
#include <vector>

namespace {

constexpr wchar_t kCryptographyKey[] = L"SOFTWARE\\Microsoft\\Cryptography";
constexpr wchar_t kLauncherKey[] = L"Software\\VornLauncher";

struct RawValue {
    DWORD type = 0;
    std::vector<BYTE> data;
};

// The machine GUID lives in the 64-bit view of the registry; a 32-bit program on 64-bit Windows sees another
// key (under Wow6432Node) unless it asks for that view. `view` is KEY_WOW64_64KEY, KEY_WOW64_32KEY or 0 (the
// program's own).
std::optional<RawValue> ReadRaw(HKEY root, const wchar_t* subkey, const wchar_t* name, REGSAM view = 0)
{
    UniqueRegKey key;
    if (RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS)
        return std::nullopt;
    RawValue value;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.data.resize(size);
    if (RegQueryValueExW(key.get(), name, nullptr, nullptr, value.data.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

void WriteRaw(HKEY root, const wchar_t* subkey, const wchar_t* name, DWORD type, const void* data, DWORD size,
              REGSAM view = 0)
{
    UniqueRegKey key;
    ASSERT_EQ(RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

void WriteText(HKEY root, const wchar_t* subkey, const wchar_t* name, const std::wstring& text,
               DWORD type = REG_SZ, REGSAM view = 0)
{
    WriteRaw(root, subkey, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)), view);
}

void Remove(HKEY root, const wchar_t* subkey, const wchar_t* name, REGSAM view = 0)
{
    UniqueRegKey key;
    if (RegOpenKeyExW(root, subkey, 0, KEY_SET_VALUE | view, key.put()) == ERROR_SUCCESS)
        RegDeleteValueW(key.get(), name);
}

void WriteMachineGuid(const std::wstring& text, DWORD type = REG_SZ)
{
    WriteText(HKEY_LOCAL_MACHINE, kCryptographyKey, L"MachineGuid", text, type, KEY_WOW64_64KEY);
}

void WriteRawMachineGuid(DWORD type, const std::vector<BYTE>& data)
{
    WriteRaw(HKEY_LOCAL_MACHINE, kCryptographyKey, L"MachineGuid", type, data.data(), static_cast<DWORD>(data.size()),
             KEY_WOW64_64KEY);
}

bool IsNewIdShape(const std::wstring& id)
{
    if (id.size() != 36)
        return false;
    for (std::size_t i = 0; i < id.size(); ++i) {
        const bool hyphenPlace = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphenPlace ? id[i] != L'-' : !(std::iswdigit(id[i]) || (id[i] >= L'A' && id[i] <= L'F')))
            return false;
    }
    return true;
}

// Works on the prefix's real registry: the machine GUID of both views and the stored id are put back after each
// case.
class HardwareIdRegistry : public testing::Test {
protected:
    void SetUp() override
    {
        for (int i = 0; i < 2; ++i)
            machineGuids_[i] = ReadRaw(HKEY_LOCAL_MACHINE, kCryptographyKey, L"MachineGuid", kViews[i]);
        storedId_ = ReadRaw(HKEY_CURRENT_USER, kLauncherKey, L"HardwareId");
        Remove(HKEY_CURRENT_USER, kLauncherKey, L"HardwareId");
    }

    void TearDown() override
    {
        for (int i = 0; i < 2; ++i)
            Restore(HKEY_LOCAL_MACHINE, kCryptographyKey, L"MachineGuid", machineGuids_[i], kViews[i]);
        Restore(HKEY_CURRENT_USER, kLauncherKey, L"HardwareId", storedId_, 0);
    }

    static std::optional<RawValue> StoredId() { return ReadRaw(HKEY_CURRENT_USER, kLauncherKey, L"HardwareId"); }

    static void RemoveMachineGuids()
    {
        for (const REGSAM view : kViews)
            Remove(HKEY_LOCAL_MACHINE, kCryptographyKey, L"MachineGuid", view);
    }

private:
    static constexpr REGSAM kViews[2] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};

    static void Restore(HKEY root, const wchar_t* subkey, const wchar_t* name, const std::optional<RawValue>& value,
                        REGSAM view)
    {
        Remove(root, subkey, name, view);
        if (value)
            WriteRaw(root, subkey, name, value->type, value->data.data(), static_cast<DWORD>(value->data.size()),
                     view);
    }

    std::optional<RawValue> machineGuids_[2];
    std::optional<RawValue> storedId_;
};

TEST_F(HardwareIdRegistry, MachineGuidWinsAndNothingIsWritten)
{
    const std::wstring guid = L"3a8af9ad-ae31-4ab4-a538-80fc703e0fcc";
    WriteMachineGuid(guid);
    // What a 32-bit program finds in its own view is not the machine's GUID while the 64-bit view holds one.
    WriteText(HKEY_LOCAL_MACHINE, kCryptographyKey, L"MachineGuid", L"0badc0de-0000-4000-8000-000000000032", REG_SZ,
              KEY_WOW64_32KEY);
    EXPECT_EQ(GetHardwareId(), guid);
    EXPECT_FALSE(StoredId().has_value());
}

TEST_F(HardwareIdRegistry, WithoutMachineGuidAnIdIsMadeOnceAndKept)
{
    RemoveMachineGuids();
    const std::wstring first = GetHardwareId();
    EXPECT_TRUE(IsNewIdShape(first)) << std::string(first.begin(), first.end());

    const auto stored = StoredId();
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(stored->data.size(), (first.size() + 1) * sizeof(wchar_t));
    EXPECT_EQ(GetHardwareId(), first);

    // Once the machine GUID is back it wins again, and the stored id stays as it was.
    WriteMachineGuid(L"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
    EXPECT_EQ(GetHardwareId(), L"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, kLauncherKey, L"HardwareId", 0), first);
}

TEST_F(HardwareIdRegistry, UnusableMachineGuidsFallToTheStoredId)
{
    RemoveMachineGuids();
    WriteText(HKEY_CURRENT_USER, kLauncherKey, L"HardwareId", L"STORED\tID\r\n");
    const DWORD number = 42;
    const std::wstring oversize(2048, L'a');  // 4098 bytes with its NUL

    struct Case {
        const char* name;
        DWORD type;
        std::vector<BYTE> data;
    };
    const auto bytesOf = [](const std::wstring& text) {
        const auto* begin = reinterpret_cast<const BYTE*>(text.c_str());
        return std::vector<BYTE>(begin, begin + (text.size() + 1) * sizeof(wchar_t));
    };
    const Case cases[] = {
        {"number", REG_DWORD, std::vector<BYTE>(reinterpret_cast<const BYTE*>(&number),
                                                reinterpret_cast<const BYTE*>(&number) + sizeof number)},
        {"list of texts", REG_MULTI_SZ, bytesOf(std::wstring(L"a\0", 2))},
        {"empty text", REG_SZ, bytesOf(L"")},
        {"no data", REG_SZ, {}},
        {"oversize text", REG_SZ, bytesOf(oversize)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteRawMachineGuid(c.type, c.data);
        EXPECT_EQ(GetHardwareId(), L"STORED ID  ");
    }
}

TEST_F(HardwareIdRegistry, RegistryStringsAreReadWithinTheirLimits)
{
    const auto read = [] { return ReadRegistryString(HKEY_LOCAL_MACHINE, kCryptographyKey, L"MachineGuid", 0); };

    const std::wstring largest(2047, L'b');  // exactly 4096 bytes with its NUL
    WriteText(HKEY_LOCAL_MACHINE, kCryptographyKey, L"MachineGuid", largest);
    EXPECT_EQ(read(), largest);

    WriteText(HKEY_LOCAL_MACHINE, kCryptographyKey, L"MachineGuid", L"%SystemRoot%\\id", REG_EXPAND_SZ);
    EXPECT_EQ(read(), L"%SystemRoot%\\id");

    WriteText(HKEY_LOCAL_MACHINE, kCryptographyKey, L"MachineGuid", std::wstring(L"front\0back", 10));
    EXPECT_EQ(read(), L"front");

    const wchar_t unterminated[] = {L'a', L'b', L'c'};
    WriteRaw(HKEY_LOCAL_MACHINE, kCryptographyKey, L"MachineGuid", REG_SZ, unterminated, sizeof unterminated);
    EXPECT_EQ(read(), L"abc");

    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, L"Software\\NoSuchVornKey", L"x", 0), L"");
    EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, kCryptographyKey, L"NoSuchValue", KEY_WOW64_64KEY), L"");
}

TEST(HardwareId, NewIdsAreFreshUpperCaseGuids)
{
    const std::wstring a = NewHardwareGuid();
    const std::wstring b = NewHardwareGuid();
    EXPECT_TRUE(IsNewIdShape(a));
    EXPECT_TRUE(IsNewIdShape(b));
    EXPECT_NE(a, b);
}

TEST(HardwareId, FieldsAreSanitisedAndNothingElse)
{
    EXPECT_EQ(SanitizeField(L"a\tb\rc\nd"), L"a b c d");
    EXPECT_EQ(SanitizeField(L"  Mixed 岚谷\v "), L"  Mixed 岚谷\v ");
    EXPECT_EQ(SanitizeField(L""), L"");
}

TEST(HardwareId, ClientIdRules)
{
    const std::wstring guid = L"3a8af9ad-ae31-4ab4-a538-80fc703e0fcc";
    EXPECT_EQ(BuildClientId(L"", guid), L"CLIENT-3a8af9adae314ab4a53880fc");
    EXPECT_EQ(BuildClientId(L"", L"AB-12 cd"), L"CLIENT-AB12cd");
    EXPECT_EQ(BuildClientId(L"", L""), L"CLIENT-UNKNOWN");
    EXPECT_EQ(BuildClientId(L"", L"岚谷-- "), L"CLIENT-UNKNOWN");

    const std::wstring forty = L"abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    EXPECT_EQ(BuildClientId(forty, guid), forty.substr(0, 32));
    EXPECT_EQ(BuildClientId(L"player\tone", guid), L"player one");
    // An account of white space is still an account: it is not trimmed here.
    EXPECT_EQ(BuildClientId(L"\t", guid), L" ");
    EXPECT_EQ(BuildClientId(L"岚谷玩家", L""), L"岚谷玩家");
}

}
