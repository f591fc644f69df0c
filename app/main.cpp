#include "announce/announcement_module.h"
#include "announce/announcement_view.h"
#include "base/command_line.h"
#include "base/config.h"
#include "base/message_box.h"
#include "base/paths.h"
#include "base/unique_resource.h"
#include "resources/resource_ids.h"
#include "ui/layout.h"
#include "ui/main_window.h"
#include "update/self_update.h"
#include "update/staging_directory.h"

#include <windows.h>

#include <commctrl.h>
#include <gdiplus.h>

#include <exception>

namespace {

constexpr wchar_t kMutexName[] = L"Local\\VornLauncher-1.0";
constexpr wchar_t kWindowClass[] = L"VornLauncherWindow";

// The codes a start-up failure ends with, 0 to 5; scripts and shortcuts that start the launcher may test them.
// 0 and 2 are also what the self-update branch returns (CompleteSelfUpdate: done, or the target stayed locked).
enum ExitCode : int {
    kExitNormal = 0,
    kExitConfigFailed = 1,
    kExitGdiplusFailed = 2,
    kExitRegisterClassFailed = 3,
    kExitCreateWindowFailed = 4,
    kExitOleFailed = 5,
};

constexpr wchar_t kInitFailedCaption[] = L"初始化失败";

void InitFailed(const wchar_t* text)
{
    ShowMessageBox(nullptr, text, kInitFailedCaption, MB_OK | MB_ICONERROR);
}

bool RegisterMainWindowClass(HINSTANCE instance)
{
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DROPSHADOW;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(VORN_ICON_RESOURCE));
    if (wc.hIcon != nullptr) {
        wc.hIconSm = wc.hIcon;
    } else {
        wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    }
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kWindowClass;
    return RegisterClassExW(&wc) != 0;
}

HWND CreateMainWindow(HINSTANCE instance)
{
    RECT workArea{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
    const int x = workArea.left + (workArea.right - workArea.left - kWindowWidth) / 2;
    const int y = workArea.top + (workArea.bottom - workArea.top - kWindowHeight) / 2;
    return CreateWindowExW(WS_EX_APPWINDOW, kWindowClass, Config().windowTitle.c_str(),
                           WS_POPUP | WS_CLIPCHILDREN | WS_MINIMIZEBOX, x, y, kWindowWidth, kWindowHeight, nullptr,
                           nullptr, instance, nullptr);
}

int RunMessageLoop()
{
    MSG msg{};
    for (;;) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1)
            break;
        if (PreTranslateAnnouncementMessage(msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

// Everything after the self-update branch; `module` owns OLE for the whole run.
int RunLauncher(HINSTANCE instance, int showCommand, vorn::AnnouncementModule& module)
{
    if (!module.InitializeOle()) {
        InitFailed(L"公告网页组件初始化失败。");
        return kExitOleFailed;
    }

    UniqueHandle mutex(CreateMutexW(nullptr, TRUE, kMutexName));
    if (!mutex || GetLastError() == ERROR_ALREADY_EXISTS) {
        ShowMessageBox(nullptr, L"登录器已经在运行。", kLauncherTitle, MB_OK | MB_ICONINFORMATION);
        return kExitNormal;
    }

    try {
        InstallClientRoot(DetermineClientRoot());
        InstallConfig(BuildDefaultConfig());
    } catch (const std::exception&) {
        InitFailed(L"登录器初始化失败，请检查配置文件。");
        return kExitConfigFailed;
    }

    RemoveSelfUpdateLeftovers();
    RemoveLeftoverStagingDirectories(ClientRoot());

    Gdiplus::GdiplusStartupInput gdiplusInput;
    ULONG_PTR gdiplusToken = 0;
    if (Gdiplus::GdiplusStartup(&gdiplusToken, &gdiplusInput, nullptr) != Gdiplus::Ok) {
        InitFailed(L"图形界面初始化失败。");
        return kExitGdiplusFailed;
    }

    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    if (!RegisterMainWindowClass(instance)) {
        Gdiplus::GdiplusShutdown(gdiplusToken);
        return kExitRegisterClassFailed;
    }

    HWND window = CreateMainWindow(instance);
    if (window == nullptr) {
        Gdiplus::GdiplusShutdown(gdiplusToken);
        return kExitCreateWindowFailed;
    }
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    const int exitCode = RunMessageLoop();

    Gdiplus::GdiplusShutdown(gdiplusToken);
    ReleaseMutex(mutex.get());
    return exitCode;
}

}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    if (const auto selfUpdate = ParseSelfUpdateArguments(ProcessArguments())) {
        const SelfUpdateOutcome outcome = CompleteSelfUpdate(selfUpdate->targetPath, selfUpdate->processId);
        if (!outcome.message.empty())
            ShowMessageBox(nullptr, outcome.message, kLauncherTitle, MB_OK | MB_ICONERROR);
        return outcome.exitCode;
    }

    vorn::AnnouncementModule module;
    return RunLauncher(instance, showCommand, module);
}
