#include "ui/main_window.h"

#include "announce/page_colours.h"
#include "base/message_box.h"
#include "base/unique_resource.h"
#include "ui/jobs.h"
#include "ui/launch_job.h"
#include "ui/layout.h"
#include "ui/main_window_controls.h"
#include "ui/painting.h"
#include "ui/region_list_job.h"
#include "ui/settings.h"
#include "ui/shared_state.h"
#include "ui/skin.h"
#include "ui/update_job.h"
#include "ui/window_commands.h"
#include "ui/worker_messages.h"

#include <windowsx.h>

namespace {

UniqueFont CreateFaceFont(int weight)
{
    return UniqueFont(CreateFontW(-14, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                  CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                                  L"Microsoft YaHei UI"));
}

// The face has rounded corners; the region reaches one pixel past the window so the corners stay symmetric.
void ApplyRoundedShape(HWND window)
{
    UniqueRegion region(CreateRoundRectRgn(0, 0, kWindowWidth + 1, kWindowHeight + 1, kWindowCornerSize,
                                           kWindowCornerSize));
    // Once set, the region belongs to the system.
    if (region && SetWindowRgn(window, region.get(), TRUE) != 0)
        region.release();
}

LRESULT OnCreate(MainWindow& self)
{
    HWND window = self.hwnd();
    mainWindow = window;
    workers.Open(window);
    self.CreateDrawingObjects();
    self.skin().LoadFrom(GetModuleHandleW(nullptr));
    ApplyRoundedShape(window);
    CreateChildControls(self);
    LoadSettings();
    // The launch needs a region, and none is chosen before the list arrives.
    EnableWindow(self.controls.enterGameButton, FALSE);
    StartRegionListLoad();
    return 0;
}

void OnClose(HWND window)
{
    if (busy.load() && ShowMessageBox(window, L"当前操作尚未完成，确定关闭登录器吗？", L"确认退出",
                                      MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;

    // A running job ends first (the update removes its staging folder); its finish then closes the window, which
    // keeps painting and answering until then.
    if (AnyJobThread()) {
        closePending = true;
        workers.RequestCancel();
        if (updateRunning) {
            statusText = L"正在取消下载并清理临时文件…";
            InvalidateRect(window, nullptr, FALSE);
            RefreshUpdateLabel();
        }
        return;
    }
    DestroyWindow(window);
}

void OnDestroy(MainWindow& self)
{
    workers.Close();
    self.announcement().Destroy();
    self.controls.announcementView = nullptr;
    JoinJobThreads();
    DiscardQueuedWorkerMessages(self.hwnd());
    SaveSettings();
    self.skin().Free();
    PostQuitMessage(0);
}

LRESULT OnNcHitTest(HWND window, WPARAM wParam, LPARAM lParam)
{
    const LRESULT hit = DefWindowProcW(window, WM_NCHITTEST, wParam, lParam);
    if (hit != HTCLIENT)
        return hit;
    POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    ScreenToClient(window, &point);
    return IsInDragBand(point.y) ? HTCAPTION : HTCLIENT;
}

LRESULT OnDrawItem(const DRAWITEMSTRUCT& item)
{
    if (item.CtlID == kUpdateLabelId)
        DrawUpdateLabel(item);
    else
        DrawOwnerButton(item);
    return TRUE;
}

LRESULT OnControlColour(HDC dc, COLORREF text, COLORREF background, HBRUSH brush)
{
    SetTextColor(dc, text);
    SetBkColor(dc, background);
    return reinterpret_cast<LRESULT>(brush);
}

LRESULT OnPageColour(HDC dc)
{
    SetDCBrushColor(dc, kPageBackgroundColour);
    return OnControlColour(dc, kPageTextColour, kPageBackgroundColour, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
}

LRESULT HandleMessage(MainWindow& self, UINT message, WPARAM wParam, LPARAM lParam)
{
    HWND window = self.hwnd();
    switch (message) {
    case WM_CREATE:
        return OnCreate(self);
    case WM_DESTROY:
        OnDestroy(self);
        return 0;
    case WM_PAINT:
        PaintMainWindow(window);
        return 0;
    case WM_CLOSE:
        OnClose(window);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_DRAWITEM:
        return OnDrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
    case WM_NCHITTEST:
        return OnNcHitTest(window, wParam, lParam);
    case WM_COMMAND:
        OnCommand(LOWORD(wParam));
        return 0;
    case WM_CTLCOLOREDIT:
        return OnControlColour(reinterpret_cast<HDC>(wParam), RGB(36, 77, 98), RGB(255, 255, 255), self.whiteBrush());
    case WM_CTLCOLORLISTBOX:
        return reinterpret_cast<LRESULT>(self.whiteBrush());
    case WM_CTLCOLORBTN:
        return OnControlColour(reinterpret_cast<HDC>(wParam), RGB(51, 91, 111), RGB(248, 252, 254), self.paleBrush());
    case WM_CTLCOLORSTATIC:
        if (reinterpret_cast<HWND>(lParam) == self.controls.announcementView)  // the fallback text: drawn like the page
            return OnPageColour(reinterpret_cast<HDC>(wParam));
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_APP_REGION_LIST_RESULT:
        OnRegionListResult(lParam);
        return 0;
    case WM_APP_STATUS_TEXT:
        OnStatusText(lParam);
        return 0;
    case WM_APP_UPDATE_FINISHED:
        OnUpdateFinished(lParam);
        return 0;
    case WM_APP_PROGRESS_CHANGED:
        OnProgressChanged();
        return 0;
    case WM_APP_LAUNCH_FINISHED:
        OnLaunchFinished(lParam);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}

MainWindow::MainWindow(HWND window) : window_(window), skin_(std::make_unique<Skin>()) {}

MainWindow::~MainWindow() = default;

MainWindow* MainWindow::From(HWND window)
{
    return window != nullptr ? reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA)) : nullptr;
}

void MainWindow::Attach(HWND window, MainWindow* object)
{
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(object));
}

void MainWindow::CreateDrawingObjects()
{
    normalFont_ = CreateFaceFont(FW_NORMAL);
    boldFont_ = CreateFaceFont(FW_SEMIBOLD);
    whiteBrush_ = UniqueBrush(CreateSolidBrush(RGB(255, 255, 255)));
    paleBrush_ = UniqueBrush(CreateSolidBrush(RGB(248, 252, 254)));
}

MainWindow* CurrentMainWindow()
{
    return MainWindow::From(mainWindow);
}

const MainWindowControls& Controls()
{
    static const MainWindowControls none;
    const MainWindow* self = CurrentMainWindow();
    return self != nullptr ? self->controls : none;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE)
        MainWindow::Attach(window, new MainWindow(window));
    MainWindow* self = MainWindow::From(window);
    if (self == nullptr)  // messages before WM_NCCREATE (WM_GETMINMAXINFO) and after WM_NCDESTROY
        return DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        MainWindow::Attach(window, nullptr);
        delete self;
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return HandleMessage(*self, message, wParam, lParam);
}
