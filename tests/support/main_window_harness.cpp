#include "tests/support/main_window_harness.h"

#include "announce/announcement_module.h"
#include "base/config.h"
#include "base/paths.h"
#include "launch/region_list.h"
#include "tests/support/process_probe.h"
#include "ui/layout.h"
#include "ui/main_window.h"
#include "ui/region_list_job.h"

#include <commctrl.h>
#include <gdiplus.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace harness {

namespace {

constexpr wchar_t kWindowClass[] = L"VornLauncherWindow";
constexpr DWORD kSettleTimeoutMs = 15000;

// What the launcher's entry point sets up before its window, once per test process. The directory host is
// empty so the region list reports at once without a connection; the update site is a closed loopback port.
class WindowProcess {
public:
    WindowProcess()
    {
        if (!module_.InitializeOle())
            throw std::runtime_error("OleInitialize failed");
        Gdiplus::GdiplusStartupInput input;
        if (Gdiplus::GdiplusStartup(&gdiplusToken_, &input, nullptr) != Gdiplus::Ok)
            throw std::runtime_error("GdiplusStartup failed");
        INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);

        LauncherConfig config = BuildDefaultConfig();
        config.serverHost.clear();
        config.updateBaseUrl = L"http://127.0.0.1:9/updates/";
        config.websiteUrl = L"http://127.0.0.1:9/";
        InstallConfig(std::move(config));
        InstallClientRoot(clientRoot_.path());

        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.style = CS_HREDRAW | CS_VREDRAW | CS_DROPSHADOW;
        wc.lpfnWndProc = MainWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.lpszClassName = kWindowClass;
        if (RegisterClassExW(&wc) == 0)
            throw std::runtime_error("RegisterClassExW failed");
    }
    WindowProcess(const WindowProcess&) = delete;
    WindowProcess& operator=(const WindowProcess&) = delete;
    ~WindowProcess()
    {
        UnregisterClassW(kWindowClass, GetModuleHandleW(nullptr));
        Gdiplus::GdiplusShutdown(gdiplusToken_);
    }

private:
    vorn::AnnouncementModule module_;
    ULONG_PTR gdiplusToken_ = 0;
    probe::TempDir clientRoot_;
};

void PrepareWindowProcess()
{
    static WindowProcess process;
}

}

bool PumpPending()
{
    bool quit = false;
    MSG msg{};
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quit = quit || msg.wParam == 0;
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return quit;
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        PumpPending();
        if (done())
            return true;
        if (GetTickCount64() >= deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

void MainWindowUnderTest::DeliverRegionList(std::vector<RegionInfo> regions, bool connected,
                                            std::wstring errorText) const
{
    object().workers.PostTask(
        [result = RegionListResult{connected, std::move(errorText), std::move(regions)}](MainWindow& window) {
            OnRegionListResult(window, result);
        });
    PumpPending();
}

std::vector<RegionInfo> RegionsNamed(const std::vector<std::wstring>& names, std::uint16_t port)
{
    std::vector<RegionInfo> regions;
    for (const std::wstring& name : names)
        regions.push_back({name, L"127.0.0.1", port, L""});
    return regions;
}

MainWindowUnderTest::MainWindowUnderTest(WindowOptions options)
{
    PrepareWindowProcess();
    MainWindowOptions start;
    start.automaticUpdate = options.automaticUpdate;
    window_ = CreateWindowExW(WS_EX_APPWINDOW, kWindowClass, Config().windowTitle.c_str(),
                              WS_POPUP | WS_CLIPCHILDREN | WS_MINIMIZEBOX, 10, 10, kWindowWidth, kWindowHeight, nullptr, nullptr,
                              GetModuleHandleW(nullptr), &start);
    if (window_ == nullptr)
        throw std::runtime_error("the main window was not created");
    if (options.shown) {
        ShowWindow(window_, SW_SHOWNORMAL);
        UpdateWindow(window_);
    }
    // The load started at creation holds `busy` until its result has been handled.
    if (!PumpUntil([this] { return !state().busy && !state().updateRunning; }, kSettleTimeoutMs))
        throw std::runtime_error("the region list started at creation did not report");
}

MainWindowUnderTest::~MainWindowUnderTest()
{
    if (exists())
        DestroyWindow(window_);
    PumpPending();
}

}
