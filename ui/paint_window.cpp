#include "ui/painting.h"

#include "base/unique_resource.h"
#include "ui/layout.h"
#include "ui/paint_text.h"
#include "ui/main_window.h"
#include "ui/skin.h"
#include "ui/skin_drawing.h"

namespace {

void PaintBackground(Gdiplus::Graphics& graphics, Gdiplus::Image* skin)
{
    if (skin != nullptr) {
        graphics.DrawImage(skin, Gdiplus::Rect(0, 0, kWindowWidth, kWindowHeight), 0, 0,
                           static_cast<INT>(skin->GetWidth()),
                           static_cast<INT>(skin->GetHeight()), Gdiplus::UnitPixel);
        return;
    }
    Gdiplus::SolidBrush fallback(kNoSkinWindowColour);
    graphics.FillRectangle(&fallback, 0, 0, kWindowWidth, kWindowHeight);
}

void FillArea(Gdiplus::Graphics& graphics, const Gdiplus::Color& colour, const LayoutRect& area)
{
    Gdiplus::SolidBrush brush(colour);
    graphics.FillRectangle(&brush, area.x, area.y, area.width, area.height);
}

// The box for a text over `area`, moved in by the given margins (a negative margin reaches out).
Gdiplus::RectF TextBox(const LayoutRect& area, float left, float top, float right, float bottom)
{
    return Gdiplus::RectF(static_cast<float>(area.x) + left, static_cast<float>(area.y) + top,
                          static_cast<float>(area.width) - left - right, static_cast<float>(area.height) - top - bottom);
}

void PaintRegionName(Gdiplus::Graphics& graphics, const MainWindowState& state)
{
    FillArea(graphics, Gdiplus::Color(245, 3, 3, 3), kRegionNameRect);
    const bool selected = state.HasValidSelection();
    const std::wstring text = RegionNameText(selected, selected ? state.RegionDisplayName(state.selectedRegion) : L"");
    DrawSkinText(graphics, text, TextBox(kRegionNameRect, 1, -1, 0, 0), Gdiplus::Color(0, 255, 35),
                 Gdiplus::FontStyleBold, Gdiplus::StringAlignmentCenter, 13);
}

void PaintStatusLine(Gdiplus::Graphics& graphics, const MainWindowState& state)
{
    FillArea(graphics, Gdiplus::Color(210, 5, 5, 5), kStatusLineRect);
    const Gdiplus::Color colour =
        state.directoryConnected ? Gdiplus::Color(215, 215, 205) : Gdiplus::Color(230, 178, 92);
    DrawSkinText(graphics, StatusLineOf(state), TextBox(kStatusLineRect, 3, 0, 5, 1), colour, Gdiplus::FontStyleRegular,
                 Gdiplus::StringAlignmentNear, 11);
}

}

std::wstring StatusLineOf(const MainWindowState& state)
{
    return StatusLineText(state.statusText, state.busy && !state.launching, state.progressPercent);
}

void PaintMainWindowTo(const MainWindow& window, HDC dc)
{
    Gdiplus::Graphics graphics(dc);
    ConfigureGraphics(graphics);
    PaintBackground(graphics, window.skin().Image());
    // The announcement view sits on black whatever the face shows there. The update label's place below it shows
    // the face, which is finished there for the time the label is hidden.
    FillArea(graphics, Gdiplus::Color(0, 0, 0), kAnnouncementRect);
    PaintRegionName(graphics, window.state);
    PaintStatusLine(graphics, window.state);
}

void CopyFaceTo(const MainWindow& self, HDC target)
{
    RECT client{};
    GetClientRect(self.hwnd(), &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    // Everything is composed off screen and copied in one go, so the face never flickers.
    UniqueMemoryDc memoryDc(CreateCompatibleDC(target));
    UniqueBitmap bitmap(CreateCompatibleBitmap(target, width, height));
    if (!memoryDc || !bitmap)
        return;
    ScopedSelect selected(memoryDc.get(), bitmap.get());
    PaintMainWindowTo(self, memoryDc.get());
    BitBlt(target, 0, 0, width, height, memoryDc.get(), 0, 0, SRCCOPY);
}

void PaintMainWindow(const MainWindow& self)
{
    PAINTSTRUCT ps{};
    HDC paintDc = BeginPaint(self.hwnd(), &ps);
    CopyFaceTo(self, paintDc);
    EndPaint(self.hwnd(), &ps);
}
