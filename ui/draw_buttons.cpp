#include "ui/painting.h"

#include "ui/controls.h"
#include "ui/layout.h"
#include "ui/main_window.h"
#include "ui/skin.h"
#include "ui/skin_drawing.h"

namespace {

Gdiplus::Rect GdiplusRect(const LayoutRect& rect)
{
    return Gdiplus::Rect(rect.x, rect.y, rect.width, rect.height);
}

// Every region button shows the face under one of them, which the skin keeps free of any caption.
const Gdiplus::Rect kRegionFace = GdiplusRect(RegionButtonRect(kRegionFaceSlot));

void FillArea(Gdiplus::Graphics& graphics, const Gdiplus::Color& colour, const Gdiplus::RectF& area)
{
    Gdiplus::SolidBrush brush(colour);
    graphics.FillRectangle(&brush, area);
}

void DrawRegionButton(Gdiplus::Graphics& graphics, const MainWindow& window, const DRAWITEMSTRUCT& item, int slot,
                      float width, float height, bool pressed)
{
    DrawSkinPart(graphics, item, window.skin().Image(), &kRegionFace);
    const std::wstring name = window.state.RegionDisplayName(slot);
    if (name.empty())
        return;
    const Gdiplus::Color colour =
        slot == window.state.selectedRegion ? Gdiplus::Color(255, 245, 0) : Gdiplus::Color(235, 235, 225);
    DrawSkinText(graphics, name, Gdiplus::RectF(5, 2, width - 10, height - 4), colour, Gdiplus::FontStyleRegular,
                 Gdiplus::StringAlignmentCenter, 13);
    if (pressed)
        FillArea(graphics, Gdiplus::Color(65, 0, 0, 0), Gdiplus::RectF(2, 2, width - 4, height - 4));
}

// The skin's enter-game face is subdued; the bright one appears only when a launch is possible.
void DrawEnterGameHighlight(Gdiplus::Graphics& graphics, float width, float height)
{
    FillArea(graphics, Gdiplus::Color(210, 13, 8, 5), Gdiplus::RectF(9, 8, width - 18, height - 16));
    Gdiplus::Pen frame(Gdiplus::Color(173, 83, 28), 1.4f);
    graphics.DrawRectangle(&frame, Gdiplus::RectF(8.5f, 7.5f, width - 18, height - 16));
    DrawSkinText(graphics, L"进入游戏", Gdiplus::RectF(8, 6, width - 16, height - 12), Gdiplus::Color(205, 139, 85),
                 Gdiplus::FontStyleBold, Gdiplus::StringAlignmentCenter, 28);
}

// The skin shows the box ticked; unchecked, the tick is covered by an empty box.
void DrawEmptyWindowedBox(Gdiplus::Graphics& graphics)
{
    const Gdiplus::Rect box = GdiplusRect(kWindowedBoxRect);
    Gdiplus::SolidBrush inside(Gdiplus::Color(30, 29, 27));
    graphics.FillRectangle(&inside, box);
    Gdiplus::Pen edge(Gdiplus::Color(168, 166, 154), 1.0f);
    graphics.DrawRectangle(&edge, box);
}

}

void DrawOwnerButton(const MainWindow& window, const DRAWITEMSTRUCT& item)
{
    Gdiplus::Graphics graphics(item.hDC);
    ConfigureGraphics(graphics);
    const bool pressed = (item.itemState & ODS_SELECTED) != 0;
    const bool disabled = (item.itemState & ODS_DISABLED) != 0;
    const auto width = static_cast<float>(item.rcItem.right - item.rcItem.left);
    const auto height = static_cast<float>(item.rcItem.bottom - item.rcItem.top);

    const int id = static_cast<int>(item.CtlID);
    if (id >= kFirstRegionButtonId && id < kFirstRegionButtonId + kRegionButtonCount) {
        DrawRegionButton(graphics, window, item, id - kFirstRegionButtonId, width, height, pressed);
        return;
    }

    // The skin carries these buttons' captions; only state is drawn over it.
    DrawSkinPart(graphics, item, window.skin().Image());
    if (id == kEnterGameButtonId && !disabled && window.state.HasValidSelection())
        DrawEnterGameHighlight(graphics, width, height);
    if (id == kWindowedCheckId && !window.settings.windowed)
        DrawEmptyWindowedBox(graphics);
    if (pressed)
        FillArea(graphics, Gdiplus::Color(75, 0, 0, 0), Gdiplus::RectF(0, 0, width, height));
}
