#include "ui/painting.h"

#include "base/unique_resource.h"
#include "ui/paint_text.h"
#include "ui/main_window.h"
#include "ui/update_job.h"

#include <array>

namespace {

constexpr int kBarLeft = 38;
constexpr int kBarRows = 10;

// The bars are drawn row by row with these levels, top to bottom: a lit top edge fading into shadow.
constexpr std::array<BYTE, kBarRows> kTrackGrey = {84, 139, 200, 244, 221, 179, 139, 99, 66, 45};
constexpr std::array<COLORREF, kBarRows> kBarGreen = {
    RGB(16, 68, 13),  RGB(28, 124, 22), RGB(63, 197, 47), RGB(123, 250, 101), RGB(83, 219, 63),
    RGB(44, 179, 33), RGB(27, 150, 20), RGB(17, 116, 11), RGB(10, 78, 7),     RGB(7, 53, 5)};

void FillSolid(HDC dc, const RECT& area, COLORREF colour)
{
    SetDCBrushColor(dc, colour);
    FillRect(dc, &area, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
}

void DrawTextIn(HDC dc, const std::wstring& text, RECT area, UINT format)
{
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &area, format | DT_SINGLELINE | DT_NOPREFIX);
}

void DrawProgressBar(HDC dc, int y, const wchar_t* label, int percent, int barRight)
{
    SetTextColor(dc, RGB(222, 222, 222));
    DrawTextIn(dc, label, RECT{8, y - 1, 36, y + 12}, DT_LEFT | DT_TOP);

    const int fill = ProgressFillWidth(barRight - kBarLeft, percent);
    for (int k = 0; k < kBarRows; ++k) {
        const BYTE grey = kTrackGrey[static_cast<std::size_t>(k)];
        FillSolid(dc, RECT{kBarLeft, y + k, barRight, y + k + 1}, RGB(grey, grey, grey));
        if (fill != 0)
            FillSolid(dc, RECT{kBarLeft, y + k, kBarLeft + fill, y + k + 1}, kBarGreen[static_cast<std::size_t>(k)]);
    }

    const std::wstring text = PercentText(percent);
    SetTextColor(dc, RGB(30, 30, 30));
    DrawTextIn(dc, text, RECT{39, y, barRight + 1, y + 12}, DT_CENTER);
    SetTextColor(dc, RGB(240, 240, 240));
    DrawTextIn(dc, text, RECT{38, y - 1, barRight, y + 11}, DT_CENTER);
}

}

void DrawUpdateLabel(const MainWindow& window, const DRAWITEMSTRUCT& item)
{
    const MainWindowState& state = window.state;
    HDC dc = item.hDC;
    const RECT& area = item.rcItem;
    const int saved = SaveDC(dc);
    FillSolid(dc, area, RGB(48, 49, 48));

    UniquePen edge(CreatePen(PS_SOLID, 1, RGB(191, 191, 183)));
    UniqueFont font(CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"宋体"));
    SelectObject(dc, edge.get());
    SelectObject(dc, GetStockObject(NULL_BRUSH));
    RoundRect(dc, 0, 0, area.right, area.bottom, 5, 5);

    if (font)
        SelectObject(dc, font.get());
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, state.updateFailed ? RGB(255, 188, 135) : RGB(218, 218, 218));
    DrawTextIn(dc, BuildUpdateStatusText(window), RECT{8, 2, area.right - 8, 20}, DT_VCENTER | DT_CENTER);

    const int barRight = area.right - 8;
    DrawProgressBar(dc, 23, L"更新", state.uiProgress.filePercent, barRight);
    DrawProgressBar(dc, 38, L"进度", state.uiProgress.overallPercent, barRight);

    // Restoring puts the DC's own pen and font back before the ones made here are deleted.
    RestoreDC(dc, saved);
}
