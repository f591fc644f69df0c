#include "ui/painting.h"

#include "base/unique_resource.h"
#include "ui/paint_text.h"
#include "ui/shared_state.h"
#include "ui/skin.h"
#include "ui/skin_drawing.h"

namespace {

constexpr INT kFaceWidth = 1040;
constexpr INT kFaceHeight = 665;

void PaintBackground(Gdiplus::Graphics& graphics)
{
    if (Gdiplus::Image* skin = SkinImage()) {
        graphics.DrawImage(skin, Gdiplus::Rect(0, 0, kFaceWidth, kFaceHeight), 0, 0, static_cast<INT>(skin->GetWidth()),
                           static_cast<INT>(skin->GetHeight()), Gdiplus::UnitPixel);
        return;
    }
    Gdiplus::SolidBrush fallback(kNoSkinWindowColour);
    graphics.FillRectangle(&fallback, 0, 0, kFaceWidth, kFaceHeight);
}

void FillArea(Gdiplus::Graphics& graphics, const Gdiplus::Color& colour, INT x, INT y, INT width, INT height)
{
    Gdiplus::SolidBrush brush(colour);
    graphics.FillRectangle(&brush, x, y, width, height);
}

void PaintRegionName(Gdiplus::Graphics& graphics)
{
    FillArea(graphics, Gdiplus::Color(245, 3, 3, 3), 349, 507, 205, 21);
    const bool selected = HasValidSelection();
    const std::wstring text = RegionNameText(selected, selected ? RegionDisplayName(selectedRegion) : L"");
    DrawSkinText(graphics, text, Gdiplus::RectF(350, 506, 204, 22), Gdiplus::Color(0, 255, 35),
                 Gdiplus::FontStyleBold, Gdiplus::StringAlignmentCenter, 13);
}

void PaintStatusLine(Gdiplus::Graphics& graphics)
{
    FillArea(graphics, Gdiplus::Color(210, 5, 5, 5), 12, 619, 560, 19);
    const Gdiplus::Color colour = directoryConnected ? Gdiplus::Color(215, 215, 205) : Gdiplus::Color(230, 178, 92);
    DrawSkinText(graphics, StatusLineText(statusText, busy.load(), progressPercent), Gdiplus::RectF(15, 619, 552, 18),
                 colour, Gdiplus::FontStyleRegular, Gdiplus::StringAlignmentNear, 11);
}

}

void PaintMainWindowTo(HDC dc)
{
    Gdiplus::Graphics graphics(dc);
    ConfigureGraphics(graphics);
    PaintBackground(graphics);
    // The announcement view sits on black whatever the face shows there. The update label's place below it shows
    // the face, which is finished there for the time the label is hidden.
    FillArea(graphics, Gdiplus::Color(0, 0, 0), 265, 101, 510, 196);
    PaintRegionName(graphics);
    PaintStatusLine(graphics);
}

void PaintMainWindow(HWND window)
{
    PAINTSTRUCT ps{};
    HDC paintDc = BeginPaint(window, &ps);
    RECT client{};
    GetClientRect(window, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    {
        // Everything is composed off screen and copied in one go, so the face never flickers.
        UniqueMemoryDc memoryDc(CreateCompatibleDC(paintDc));
        UniqueBitmap bitmap(CreateCompatibleBitmap(paintDc, width, height));
        if (memoryDc && bitmap) {
            ScopedSelect selected(memoryDc.get(), bitmap.get());
            PaintMainWindowTo(memoryDc.get());
            BitBlt(paintDc, 0, 0, width, height, memoryDc.get(), 0, 0, SRCCOPY);
        }
    }
    EndPaint(window, &ps);
}
