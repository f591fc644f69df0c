#include "ui/settings.h"

#include "resources/resource_ids.h"
#include "ui/main_window.h"
#include "ui/resolutions.h"

#include <windows.h>

namespace {

constexpr wchar_t kDialogClass[] = L"VornLauncherSettingsWindow";
constexpr int kDialogWidth = 340;
constexpr int kDialogHeight = 190;
constexpr int kComboId = 501;
constexpr int kOkId = 502;
constexpr int kCancelId = 503;

// The main window the dialog belongs to, kept in the dialog's user data from its creation.
MainWindow* OwnerOf(HWND dialog)
{
    return reinterpret_cast<MainWindow*>(GetWindowLongPtrW(dialog, GWLP_USERDATA));
}

HWND CreateChild(HWND dialog, DWORD exStyle, const wchar_t* className, const wchar_t* text, DWORD style, int x, int y,
                 int width, int height, int id)
{
    HWND child = CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height, dialog,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(OwnerOf(dialog)->normalFont()), TRUE);
    return child;
}

void CreateDialogControls(HWND dialog)
{
    CreateChild(dialog, 0, L"STATIC", L"游戏分辨率：", 0, 24, 24, 100, 24, 0);
    HWND combo = CreateChild(dialog, WS_EX_CLIENTEDGE, L"COMBOBOX", L"", WS_TABSTOP | CBS_DROPDOWNLIST | CBS_HASSTRINGS,
                             122, 20, 176, 180, kComboId);
    for (const wchar_t* text : kResolutionTexts)
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(OwnerOf(dialog)->settings.resolutionIndex), 0);
    CreateChild(dialog, 0, L"STATIC", L"窗口化可在登录器主界面直接勾选。", 0, 24, 64, 274, 22, 0);
    CreateChild(dialog, 0, L"BUTTON", L"确定", WS_TABSTOP | BS_DEFPUSHBUTTON, 122, 104, 82, 30, kOkId);
    CreateChild(dialog, 0, L"BUTTON", L"取消", WS_TABSTOP | BS_PUSHBUTTON, 216, 104, 82, 30, kCancelId);
}

LRESULT CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_NCCREATE:
        SetWindowLongPtrW(dialog, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
        break;
    case WM_CREATE:
        CreateDialogControls(dialog);
        return 0;
    case WM_CLOSE:
        DestroyWindow(dialog);
        return 0;
    case DM_GETDEFID:
        // The dialog manager's Enter presses the default button.
        return MAKELRESULT(kOkId, DC_HASDEFID);
    case WM_COMMAND:
        if (LOWORD(wParam) == kOkId) {
            const LRESULT chosen = SendMessageW(GetDlgItem(dialog, kComboId), CB_GETCURSEL, 0, 0);
            LauncherSettings& settings = OwnerOf(dialog)->settings;
            settings.resolutionIndex = static_cast<int>(chosen);
            SaveSettings(settings);
            DestroyWindow(dialog);
            return 0;
        }
        // Esc reaches the dialog as IDCANCEL: it cancels like the button.
        if (LOWORD(wParam) == kCancelId || LOWORD(wParam) == IDCANCEL) {
            DestroyWindow(dialog);
            return 0;
        }
        break;
    default:
        break;
    }
    return DefWindowProcW(dialog, message, wParam, lParam);
}

bool RegisterDialogClass(HINSTANCE instance)
{
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = SettingsDialogProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(VORN_ICON_RESOURCE));
    wc.hIconSm = wc.hIcon;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = kDialogClass;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}

void ShowGameSettingsDialog(MainWindow& window)
{
    HWND mainWindow = window.hwnd();
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    if (!RegisterDialogClass(instance))
        return;

    RECT owner{};
    GetWindowRect(mainWindow, &owner);
    const int x = owner.left + (owner.right - owner.left - kDialogWidth) / 2;
    const int y = owner.top + (owner.bottom - owner.top - kDialogHeight) / 2;
    HWND dialog = CreateWindowExW(WS_EX_DLGMODALFRAME, kDialogClass, L"游戏设置", WS_POPUP | WS_CAPTION | WS_SYSMENU, x,
                                  y, kDialogWidth, kDialogHeight, mainWindow, nullptr, instance, &window);
    if (dialog == nullptr)
        return;

    EnableWindow(mainWindow, FALSE);
    ShowWindow(dialog, SW_SHOW);
    UpdateWindow(dialog);
    // The keys reach the dialog through its first control, as in any dialog: the arrows choose, Enter confirms.
    SetFocus(GetDlgItem(dialog, kComboId));

    MSG msg{};
    while (IsWindow(dialog)) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            // The quit belongs to the outer loop: hand it back, or the launcher would never end.
            if (got == 0)
                PostQuitMessage(static_cast<int>(msg.wParam));
            DestroyWindow(dialog);
            break;
        }
        if (!IsDialogMessageW(dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

    EnableWindow(mainWindow, TRUE);
    SetForegroundWindow(mainWindow);
}
