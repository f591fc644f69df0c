#include "ui/main_window.h"

#include "announce/announcement_view.h"
#include "announce/page_colours.h"
#include "base/message_box.h"
#include "base/unique_resource.h"
#include "ui/controls.h"
#include "ui/jobs.h"
#include "ui/launch_job.h"
#include "ui/layout.h"
#include "ui/main_window_controls.h"
#include "ui/painting.h"
#include "ui/region_list_job.h"
#include "ui/settings.h"
#include "ui/shared_state.h"
#include "ui/update_job.h"
#include "ui/window_commands.h"
#include "ui/worker_messages.h"

#include <windowsx.h>

namespace {

// The owners of the window-wide drawing objects; ui/controls.h hands out the raw handles.
UniqueFont ownedNormalFont;
UniqueFont ownedBoldFont;
UniqueBrush ownedWhiteBrush;
UniqueBrush ownedPaleBrush;

UniqueFont CreateFaceFont(int weight)
{
    return UniqueFont(CreateFontW(-14, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                  CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                                  L"Microsoft YaHei UI"));
}

void CreateDrawingObjects()
{
    ownedNormalFont = CreateFaceFont(FW_NORMAL);
    ownedBoldFont = CreateFaceFont(FW_SEMIBOLD);
    ownedWhiteBrush = UniqueBrush(CreateSolidBrush(RGB(255, 255, 255)));
    ownedPaleBrush = UniqueBrush(CreateSolidBrush(RGB(248, 252, 254)));
    normalFont = ownedNormalFont.get();
    boldFont = ownedBoldFont.get();
    whiteBrush = ownedWhiteBrush.get();
    paleBrush = ownedPaleBrush.get();
}

void ReleaseDrawingObjects()
{
    normalFont = nullptr;
    boldFont = nullptr;
    whiteBrush = nullptr;
    paleBrush = nullptr;
    ownedNormalFont.reset();
    ownedBoldFont.reset();
    ownedWhiteBrush.reset();
    ownedPaleBrush.reset();
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

LRESULT OnCreate(HWND window)
{
    mainWindow = window;
    workers.Open(window);
    CreateDrawingObjects();
    LoadSkin();
    ApplyRoundedShape(window);
    CreateChildControls(window);
    LoadSettings();
    // The launch needs a region, and none is chosen before the list arrives.
    EnableWindow(enterGameButton, FALSE);
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

void OnDestroy(HWND window)
{
    workers.Close();
    DestroyAnnouncementView();
    announcementView = nullptr;
    JoinJobThreads();
    DiscardQueuedWorkerMessages(window);
    SaveSettings();
    FreeSkin();
    ReleaseDrawingObjects();
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

}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_DESTROY:
        OnDestroy(window);
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
        return OnControlColour(reinterpret_cast<HDC>(wParam), RGB(36, 77, 98), RGB(255, 255, 255), whiteBrush);
    case WM_CTLCOLORLISTBOX:
        return reinterpret_cast<LRESULT>(whiteBrush);
    case WM_CTLCOLORBTN:
        return OnControlColour(reinterpret_cast<HDC>(wParam), RGB(51, 91, 111), RGB(248, 252, 254), paleBrush);
    case WM_CTLCOLORSTATIC:
        if (reinterpret_cast<HWND>(lParam) == announcementView)  // the fallback text: drawn like the page
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
