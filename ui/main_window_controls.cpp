#include "ui/main_window_controls.h"

#include "ui/controls.h"
#include "ui/main_window.h"
#include "ui/layout.h"
#include "ui/resolutions.h"

namespace {

constexpr DWORD kOwnerButton = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW;

enum class FontKind { None, Normal, Bold };

struct ChildSpec {
    int id;
    const wchar_t* className;
    const wchar_t* text;
    DWORD style;
    LayoutRect rect;
    FontKind font;
};

// The top band: the skin carries the captions, so the texts only name the buttons. "关闭" takes no focus.
constexpr ChildSpec kTopButtons[] = {
    {kWebsiteButtonId, L"BUTTON", L"官方网站", kOwnerButton, kWebsiteButtonRect, FontKind::Bold},
    {kRegisterButtonId, L"BUTTON", L"注册账号", kOwnerButton, kRegisterButtonRect, FontKind::Bold},
    {kDownloadButtonId, L"BUTTON", L"游戏下载", kOwnerButton, kDownloadButtonRect, FontKind::Bold},
    {kSponsorButtonId, L"BUTTON", L"赞助游戏", kOwnerButton, kSponsorButtonRect, FontKind::Bold},
    {kForumButtonId, L"BUTTON", L"游戏论坛", kOwnerButton, kForumButtonRect, FontKind::Bold},
    {kCloseButtonId, L"BUTTON", L"关闭", kOwnerButton & ~WS_TABSTOP, kCloseButtonRect, FontKind::Normal},
};

constexpr ChildSpec kAnnouncementFallback{kAnnouncementId, L"STATIC", L"公告加载失败：系统网页组件不可用。",
                                          WS_CHILD | WS_VISIBLE, kAnnouncementRect, FontKind::Normal};

constexpr ChildSpec kUpdateLabel{kUpdateLabelId, L"STATIC", L"客户端文件更新",
                                 WS_CHILD | WS_VISIBLE | SS_NOTIFY | SS_OWNERDRAW, kUpdateLabelRect, FontKind::Normal};

constexpr ChildSpec kWindowedButton{kWindowedCheckId, L"BUTTON", L"窗口化", kOwnerButton, kWindowedButtonRect,
                                    FontKind::Bold};
constexpr ChildSpec kGameSettingsButton{kGameSettingsButtonId, L"BUTTON", L"游戏设置", kOwnerButton,
                                        kGameSettingsButtonRect, FontKind::Bold};
constexpr ChildSpec kEnterGameButton{kEnterGameButtonId, L"BUTTON", L"进入游戏", kOwnerButton, kEnterGameButtonRect,
                                     FontKind::Bold};

// Two controls of the window's table that are never shown (the settings themselves are a value the window
// object holds).
constexpr ChildSpec kAccountEdit{kAccountEditId, L"EDIT", L"", WS_CHILD | ES_AUTOHSCROLL, {}, FontKind::None};
constexpr ChildSpec kResolutionCombo{kResolutionComboId, L"COMBOBOX", L"", WS_CHILD | CBS_DROPDOWNLIST | CBS_HASSTRINGS,
                                     {}, FontKind::None};

ChildSpec RegionButtonSpec(int slot)
{
    return {kFirstRegionButtonId + slot, L"BUTTON", L"", kOwnerButton, RegionButtonRect(slot), FontKind::Bold};
}

HFONT FontFor(const MainWindow& window, FontKind kind)
{
    switch (kind) {
    case FontKind::Bold:
        return window.boldFont() != nullptr ? window.boldFont() : window.normalFont();
    case FontKind::Normal:
        return window.normalFont();
    case FontKind::None:
        break;
    }
    return nullptr;
}

// Children are destroyed with their parent, so the handles are borrowed, not owned.
HWND CreateChild(const MainWindow& window, const ChildSpec& spec)
{
    HWND parent = window.hwnd();
    HWND child = CreateWindowExW(0, spec.className, spec.text, spec.style, spec.rect.x, spec.rect.y, spec.rect.width,
                                 spec.rect.height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)),
                                 GetModuleHandleW(nullptr), nullptr);
    if (child != nullptr && spec.font != FontKind::None)
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(window, spec.font)), TRUE);
    return child;
}

}

void CreateChildControls(MainWindow& window)
{
    MainWindowControls& controls = window.controls;
    for (const ChildSpec& spec : kTopButtons) {
        HWND button = CreateChild(window, spec);
        if (spec.id == kDownloadButtonId)
            controls.downloadButton = button;
    }

    controls.announcementView = window.announcement().Create(window.hwnd(), ToRect(kAnnouncementRect));
    if (controls.announcementView == nullptr)
        controls.announcementView = CreateChild(window, kAnnouncementFallback);

    // Hidden until an update starts; a successful update hides it again.
    controls.updateLabel = CreateChild(window, kUpdateLabel);
    ShowWindow(controls.updateLabel, SW_HIDE);

    for (int slot = 0; slot < kRegionButtonCount; ++slot)
        controls.regionButtons[static_cast<std::size_t>(slot)] = CreateChild(window, RegionButtonSpec(slot));

    controls.windowedCheck = CreateChild(window, kWindowedButton);
    CreateChild(window, kGameSettingsButton);
    controls.enterGameButton = CreateChild(window, kEnterGameButton);

    controls.accountEdit = CreateChild(window, kAccountEdit);
    controls.resolutionCombo = CreateChild(window, kResolutionCombo);
    for (const wchar_t* text : kResolutionTexts)
        SendMessageW(controls.resolutionCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}
