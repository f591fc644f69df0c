#include "ui/main_window.h"

#include "announce/page_colours.h"
#include "base/message_box.h"
#include "base/unique_resource.h"
#include "ui/launch_job.h"
#include "ui/layout.h"
#include "ui/main_window_controls.h"
#include "ui/painting.h"
#include "ui/region_list_job.h"
#include "ui/settings.h"
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
    self.workers.Open(window);
    self.CreateDrawingObjects();
    self.skin().LoadFrom(GetModuleHandleW(nullptr));
    ApplyRoundedShape(window);
    CreateChildControls(self);
    self.settings = LoadSettings();
    // The launch needs a region, and none is chosen before the list arrives.
    EnableWindow(self.controls.enterGameButton, FALSE);
    StartRegionListLoad(self);
    return 0;
}

void OnClose(MainWindow& self)
{
    HWND window = self.hwnd();
    if (self.state.busy && ShowMessageBox(window, L"当前操作尚未完成，确定关闭登录器吗？", L"确认退出",
                                          MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;

    // A running update or launch ends first (the update removes its staging folder); its finish then closes the
    // window, which keeps painting and answering until then. A region-list load is abandoned: it posts nowhere
    // once the window is closing.
    if (self.jobs.AnyRunning()) {
        self.state.closePending = true;
        self.workers.RequestCancel();
        if (self.state.updateRunning) {
            self.state.statusText = L"正在取消下载并清理临时文件…";
            InvalidateRect(window, nullptr, FALSE);
            RefreshUpdateLabel(self);
        }
        return;
    }
    DestroyWindow(window);
}

void OnDestroy(MainWindow& self)
{
    self.workers.Close();
    self.announcement().Destroy();
    self.controls.announcementView = nullptr;
    self.jobs.JoinAll();
    DiscardQueuedWorkerMessages(self.hwnd());
    SaveSettings(self.settings);
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

LRESULT OnDrawItem(const MainWindow& self, const DRAWITEMSTRUCT& item)
{
    if (item.CtlID == kUpdateLabelId)
        DrawUpdateLabel(self, item);
    else
        DrawOwnerButton(self, item);
    return TRUE;
}

LRESULT OnControlColour(HDC dc, COLORREF text, COLORREF background, HBRUSH brush)
{
    SetTextColor(dc, text);
    SetBkColor(dc, background);
    return reinterpret_cast<LRESULT>(brush);
}

// Every button of the window is owner-drawn, and erases its place with the brush returned here before it is
// drawn. The system may put that moment on the screen (a new window's first frame did, with pale boxes where the
// buttons go), so the brush is the face under the button: the window's face as a pattern, its origin moved to
// the button's place.
LRESULT OnButtonColour(const MainWindow& self, HDC dc, HWND button)
{
    RECT placed{};
    GetWindowRect(button, &placed);
    MapWindowPoints(HWND_DESKTOP, self.hwnd(), reinterpret_cast<POINT*>(&placed), 1);
    SetBrushOrgEx(dc, -placed.left, -placed.top, nullptr);
    return OnControlColour(dc, RGB(51, 91, 111), RGB(248, 252, 254), self.skin().EraseBrush());
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
        PaintMainWindow(self);
        return 0;
    case WM_CLOSE:
        OnClose(self);
        return 0;
    case WM_ERASEBKGND:
        // Showing the window erases it and its buttons at once, and the system may put that on the screen before
        // the first paint (a first frame of black with pale boxes): the erase lays the face the paint then
        // draws, as the buttons' erase does (OnButtonColour).
        CopyFaceTo(self, reinterpret_cast<HDC>(wParam));
        return 1;
    case WM_DRAWITEM:
        return OnDrawItem(self, *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
    case WM_NCHITTEST:
        return OnNcHitTest(window, wParam, lParam);
    case WM_COMMAND:
        OnCommand(self, LOWORD(wParam));
        return 0;
    case WM_CTLCOLOREDIT:
        return OnControlColour(reinterpret_cast<HDC>(wParam), RGB(36, 77, 98), RGB(255, 255, 255), self.whiteBrush());
    case WM_CTLCOLORLISTBOX:
        return reinterpret_cast<LRESULT>(self.whiteBrush());
    case WM_CTLCOLORBTN:
        return OnButtonColour(self, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_CTLCOLORSTATIC:
        if (reinterpret_cast<HWND>(lParam) == self.controls.announcementView)  // the fallback text: drawn like the page
            return OnPageColour(reinterpret_cast<HDC>(wParam));
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_APP_RUN_TASK:
        RunPostedTask(self, lParam);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}

std::wstring MainWindowState::RegionDisplayName(int index) const
{
    if (index < 0 || static_cast<std::size_t>(index) >= regions.size())
        return {};
    return regions[static_cast<std::size_t>(index)].displayName;
}

bool MainWindowState::HasValidSelection() const
{
    return selectedRegion >= 0 && static_cast<std::size_t>(selectedRegion) < regions.size();
}

MainWindow::MainWindow(HWND window, const MainWindowOptions& options)
    : window_(window), skin_(std::make_unique<Skin>())
{
    state.autoUpdatePending = options.automaticUpdate;
}

MainWindow::~MainWindow()
{
    workers.Close();
    jobs.JoinAll();
}

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
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        const auto* options = static_cast<const MainWindowOptions*>(create->lpCreateParams);
        MainWindow::Attach(window, new MainWindow(window, options != nullptr ? *options : MainWindowOptions{}));
    }
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
