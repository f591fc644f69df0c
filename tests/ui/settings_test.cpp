#include "base/unique_resource.h"
#include "tests/ui/control_host.h"
#include "ui/main_window.h"
#include "ui/resolutions.h"
#include "ui/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>

namespace {

using testui::ControlHost;

constexpr wchar_t kLauncherKey[] = L"Software\\VornLauncher";
constexpr wchar_t kGameKey[] = L"Software\\Quillon\\Tessary\\Config";

void DeleteKeys()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, kLauncherKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, kGameKey);
}

bool KeyExists(const wchar_t* path)
{
    UniqueRegKey key;
    return RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS;
}

struct RawValue {
    DWORD type = 0;
    std::vector<BYTE> bytes;
};

std::optional<RawValue> ReadRaw(const wchar_t* path, const wchar_t* name)
{
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return std::nullopt;
    RawValue value;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.bytes.resize(size);
    if (RegQueryValueExW(key.get(), name, nullptr, &value.type, value.bytes.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

std::optional<DWORD> ReadDword(const wchar_t* path, const wchar_t* name)
{
    const auto raw = ReadRaw(path, name);
    if (!raw || raw->type != REG_DWORD || raw->bytes.size() != sizeof(DWORD))
        return std::nullopt;
    DWORD value = 0;
    std::memcpy(&value, raw->bytes.data(), sizeof(value));
    return value;
}

// The stored string with its terminating null, which the value must carry.
std::optional<std::wstring> ReadString(const wchar_t* path, const wchar_t* name)
{
    const auto raw = ReadRaw(path, name);
    if (!raw || raw->type != REG_SZ || raw->bytes.size() < 2 || raw->bytes.size() % 2 != 0)
        return std::nullopt;
    std::wstring text(raw->bytes.size() / 2, L'\0');
    std::memcpy(text.data(), raw->bytes.data(), raw->bytes.size());
    if (text.back() != L'\0')
        return std::nullopt;
    text.pop_back();
    return text;
}

void WriteRaw(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    UniqueRegKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kLauncherKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

void WriteDword(const wchar_t* name, DWORD value)
{
    WriteRaw(name, REG_DWORD, &value, sizeof(value));
}

void WriteString(const wchar_t* name, const std::wstring& text)
{
    WriteRaw(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

class SettingsTest : public ::testing::Test {
protected:
    SettingsTest() { DeleteKeys(); }
    ~SettingsTest() override { DeleteKeys(); }
    ControlHost host;
    MainWindow& window = host.window();
};

// Drives the modal dialog from inside its own loop: a thread timer fires while the dialog's loop dispatches.
class DialogDriver {
public:
    // `act` gets the dialog window once it is shown; it must close it one way or another.
    explicit DialogDriver(std::function<void(HWND)> act) : act_(std::move(act))
    {
        current_ = this;
        timer_ = SetTimer(nullptr, 0, 30, &DialogDriver::Tick);
    }
    DialogDriver(const DialogDriver&) = delete;
    DialogDriver& operator=(const DialogDriver&) = delete;
    ~DialogDriver()
    {
        KillTimer(nullptr, timer_);
        current_ = nullptr;
    }
    int timesActed() const { return acted_; }
    bool ownerWasDisabled() const { return ownerDisabled_; }

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD)
    {
        DialogDriver* self = current_;
        if (self == nullptr)
            return;
        HWND dialog = FindWindowW(L"VornLauncherSettingsWindow", nullptr);
        if (dialog == nullptr || !IsWindowVisible(dialog))
            return;
        ++self->acted_;
        self->ownerDisabled_ = !IsWindowEnabled(GetWindow(dialog, GW_OWNER));
        // A driver that did not close the dialog must not leave the test hanging in its loop.
        if (self->acted_ > 1) {
            DestroyWindow(dialog);
            return;
        }
        self->act_(dialog);
    }

    static inline DialogDriver* current_ = nullptr;
    std::function<void(HWND)> act_;
    UINT_PTR timer_ = 0;
    int acted_ = 0;
    bool ownerDisabled_ = false;
};

HWND DialogCombo(HWND dialog)
{
    return GetDlgItem(dialog, 501);
}

}

TEST(Resolutions, IndexToGameCode)
{
    EXPECT_EQ(GameResolutionCode(0), 0);
    EXPECT_EQ(GameResolutionCode(1), 5);
    EXPECT_EQ(GameResolutionCode(2), 6);
    EXPECT_EQ(GameResolutionCode(3), 7);
    EXPECT_EQ(GameResolutionCode(4), 8);
    EXPECT_EQ(GameResolutionCode(-1), 0);
    EXPECT_EQ(GameResolutionCode(9), 8);
    EXPECT_EQ(ClampResolutionIndex(-7), 0);
    EXPECT_EQ(ClampResolutionIndex(5), 4);
    EXPECT_STREQ(kResolutionTexts[0], L"1366 x 768");
    EXPECT_STREQ(kResolutionTexts[4], L"1920 x 1080");
}

TEST_F(SettingsTest, FirstRunUsesTheDefaultsAndTheFirstSaveCreatesBothKeys)
{
    const LauncherSettings loaded = LoadSettings();
    EXPECT_EQ(loaded.account, L"");
    EXPECT_EQ(loaded.resolutionIndex, 4);
    EXPECT_TRUE(loaded.windowed);
    EXPECT_FALSE(KeyExists(kLauncherKey));  // loading writes nothing

    SaveSettings(loaded);
    EXPECT_EQ(ReadString(kLauncherKey, L"Account"), L"");
    EXPECT_EQ(ReadRaw(kLauncherKey, L"Account")->bytes.size(), 2u);
    EXPECT_EQ(ReadDword(kLauncherKey, L"ResolutionIndex"), 4u);
    EXPECT_EQ(ReadDword(kLauncherKey, L"Windowed"), 1u);
    EXPECT_EQ(ReadString(kGameKey, L"ID"), L"");
    EXPECT_EQ(ReadDword(kGameKey, L"Resolution"), 8u);
    EXPECT_EQ(ReadDword(kGameKey, L"WindowMode"), 0u);
}

TEST_F(SettingsTest, AccountLoadsUntrimmedAndSavesTrimmed)
{
    WriteString(L"Account", L"  player01 \t");
    const LauncherSettings loaded = LoadSettings();
    EXPECT_EQ(loaded.account, L"  player01 \t");
    EXPECT_EQ(ReadAccountText(loaded), L"player01");

    SaveSettings(loaded);
    EXPECT_EQ(ReadString(kLauncherKey, L"Account"), L"player01");
    EXPECT_EQ(ReadRaw(kLauncherKey, L"Account")->bytes.size(), 2u * (8 + 1));
    EXPECT_EQ(ReadString(kGameKey, L"ID"), L"player01");

    // A value stored without its terminating null still reads whole.
    const std::wstring bare = L"无终止";
    WriteRaw(L"Account", REG_SZ, bare.data(), static_cast<DWORD>(bare.size() * sizeof(wchar_t)));
    EXPECT_EQ(LoadSettings().account, bare);
}

TEST_F(SettingsTest, ValuesOfTheWrongTypeOrRangeGiveDefaultsOrTheNearestEntry)
{
    WriteDword(L"Account", 7);
    WriteString(L"ResolutionIndex", L"2");
    const BYTE binary[4] = {0, 0, 0, 0};
    WriteRaw(L"Windowed", REG_BINARY, binary, sizeof(binary));
    LauncherSettings loaded = LoadSettings();
    EXPECT_EQ(loaded.account, L"");
    EXPECT_EQ(loaded.resolutionIndex, 4);
    EXPECT_TRUE(loaded.windowed);

    WriteDword(L"ResolutionIndex", 9);
    WriteDword(L"Windowed", 0);
    loaded = LoadSettings();
    EXPECT_EQ(loaded.resolutionIndex, 4);
    EXPECT_FALSE(loaded.windowed);

    WriteDword(L"ResolutionIndex", 0xFFFFFFFF);
    WriteDword(L"Windowed", 2);
    loaded = LoadSettings();
    EXPECT_EQ(loaded.resolutionIndex, 0);
    EXPECT_TRUE(loaded.windowed);
}

TEST_F(SettingsTest, EachIndexIsStoredWithTheGamesCode)
{
    const int codes[] = {0, 5, 6, 7, 8};
    LauncherSettings settings;
    for (int index = 0; index < 5; ++index) {
        settings.resolutionIndex = index;
        SaveSettings(settings);
        EXPECT_EQ(ReadDword(kLauncherKey, L"ResolutionIndex"), static_cast<DWORD>(index));
        EXPECT_EQ(ReadDword(kGameKey, L"Resolution"), static_cast<DWORD>(codes[index]));
    }
    // No selection at all stores the first entry.
    settings.resolutionIndex = -1;
    SaveSettings(settings);
    EXPECT_EQ(ReadDword(kLauncherKey, L"ResolutionIndex"), 0u);
    EXPECT_EQ(ReadDword(kGameKey, L"Resolution"), 0u);

    WriteDword(L"ResolutionIndex", 1);
    EXPECT_EQ(LoadSettings().resolutionIndex, 1);
}

TEST_F(SettingsTest, WindowedAndWindowModeHaveOppositeSenses)
{
    LauncherSettings settings;
    settings.windowed = true;
    SaveSettings(settings);
    EXPECT_EQ(ReadDword(kLauncherKey, L"Windowed"), 1u);
    EXPECT_EQ(ReadDword(kGameKey, L"WindowMode"), 0u);

    settings.windowed = false;
    SaveSettings(settings);
    EXPECT_EQ(ReadDword(kLauncherKey, L"Windowed"), 0u);
    EXPECT_EQ(ReadDword(kGameKey, L"WindowMode"), 1u);

    EXPECT_FALSE(LoadSettings().windowed);
}

TEST_F(SettingsTest, DialogOkStoresTheChosenResolution)
{
    window.settings = LoadSettings();
    std::wstring caption;
    RECT placed{};
    LRESULT items = 0;
    LRESULT shownSelection = -2;
    DialogDriver driver([&](HWND dialog) {
        wchar_t text[64] = {};
        GetWindowTextW(dialog, text, 64);
        caption = text;
        GetWindowRect(dialog, &placed);
        items = SendMessageW(DialogCombo(dialog), CB_GETCOUNT, 0, 0);
        shownSelection = SendMessageW(DialogCombo(dialog), CB_GETCURSEL, 0, 0);
        SendMessageW(DialogCombo(dialog), CB_SETCURSEL, 1, 0);
        SendMessageW(GetDlgItem(dialog, 502), BM_CLICK, 0, 0);
    });
    ShowGameSettingsDialog(window);

    EXPECT_EQ(driver.timesActed(), 1);
    EXPECT_TRUE(driver.ownerWasDisabled());
    EXPECT_TRUE(IsWindowEnabled(host.parent()));
    EXPECT_EQ(FindWindowW(L"VornLauncherSettingsWindow", nullptr), nullptr);
    EXPECT_EQ(caption, L"游戏设置");
    EXPECT_EQ(placed.right - placed.left, 340);
    EXPECT_EQ(placed.bottom - placed.top, 190);
    EXPECT_EQ(placed.left, (1040 - 340) / 2);  // centred on the main window at 0, 0
    EXPECT_EQ(placed.top, (665 - 190) / 2);
    EXPECT_EQ(items, 5);
    EXPECT_EQ(shownSelection, 4);

    EXPECT_EQ(window.settings.resolutionIndex, 1);
    EXPECT_EQ(ReadDword(kLauncherKey, L"ResolutionIndex"), 1u);
    EXPECT_EQ(ReadDword(kGameKey, L"Resolution"), 5u);
    EXPECT_EQ(ReadDword(kGameKey, L"WindowMode"), 0u);
}

TEST_F(SettingsTest, DialogCancelAndCloseBoxWriteNothingAndTheClassIsReused)
{
    window.settings = LoadSettings();
    for (const bool useCloseBox : {false, true}) {
        SCOPED_TRACE(useCloseBox);
        DialogDriver driver([&](HWND dialog) {
            SendMessageW(DialogCombo(dialog), CB_SETCURSEL, 0, 0);
            if (useCloseBox)
                SendMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
            else
                SendMessageW(GetDlgItem(dialog, 503), BM_CLICK, 0, 0);
        });
        ShowGameSettingsDialog(window);
        EXPECT_EQ(driver.timesActed(), 1);  // the second opening found its class and showed again
        EXPECT_EQ(window.settings.resolutionIndex, 4);
        EXPECT_FALSE(KeyExists(kLauncherKey));
        EXPECT_FALSE(KeyExists(kGameKey));
    }
    WNDCLASSEXW registered{};
    registered.cbSize = sizeof(registered);
    EXPECT_TRUE(GetClassInfoExW(GetModuleHandleW(nullptr), L"VornLauncherSettingsWindow", &registered));
}

// The keys of any dialog, pressed where the dialog puts the keyboard: Down chooses the next resolution and Enter
// confirms it; Esc cancels and writes nothing. Each closes the dialog before the driver's next look.
TEST_F(SettingsTest, EnterConfirmsAndEscCancelsTheDialog)
{
    window.settings = LoadSettings();
    const auto press = [](HWND dialog, UINT key) {
        HWND focus = GetFocus() != nullptr ? GetFocus() : dialog;
        PostMessageW(focus, WM_KEYDOWN, key, 1);
        PostMessageW(focus, WM_KEYUP, key, 0xC0000001);
    };
    {
        DialogDriver driver([&](HWND dialog) { press(dialog, VK_ESCAPE); });
        ShowGameSettingsDialog(window);
        EXPECT_EQ(driver.timesActed(), 1);
        EXPECT_FALSE(KeyExists(kLauncherKey));
    }
    {
        DialogDriver driver([&](HWND dialog) {
            SendMessageW(DialogCombo(dialog), CB_SETCURSEL, 2, 0);
            press(dialog, VK_DOWN);
            press(dialog, VK_RETURN);
        });
        ShowGameSettingsDialog(window);
        EXPECT_EQ(driver.timesActed(), 1);
        EXPECT_EQ(window.settings.resolutionIndex, 3);
        EXPECT_EQ(ReadDword(kLauncherKey, L"ResolutionIndex"), 3u);
    }
}

TEST_F(SettingsTest, QuitDuringTheDialogReachesTheOuterLoop)
{
    DialogDriver driver([](HWND) { PostQuitMessage(3); });
    ShowGameSettingsDialog(window);
    EXPECT_EQ(FindWindowW(L"VornLauncherSettingsWindow", nullptr), nullptr);
    EXPECT_TRUE(IsWindowEnabled(host.parent()));
    MSG msg{};
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 3u);
}
