#include "ui/skin_drawing.h"

#include "ui/layout.h"

void ConfigureGraphics(Gdiplus::Graphics& graphics)
{
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintClearTypeGridFit);
}

void DrawSkinText(Gdiplus::Graphics& graphics, const std::wstring& text, const Gdiplus::RectF& layout,
                  const Gdiplus::Color& colour, Gdiplus::FontStyle style, Gdiplus::StringAlignment alignment,
                  float pixels)
{
    Gdiplus::FontFamily family(L"Microsoft YaHei UI");
    // A system without the face still gets readable text in its own sans-serif face.
    const Gdiplus::FontFamily* chosen = family.IsAvailable() ? &family : Gdiplus::FontFamily::GenericSansSerif();
    Gdiplus::Font font(chosen, pixels, style, Gdiplus::UnitPixel);
    Gdiplus::SolidBrush brush(colour);
    Gdiplus::StringFormat format;
    format.SetAlignment(alignment);
    format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
    format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
    graphics.DrawString(text.c_str(), static_cast<INT>(text.size()), &font, layout, &format, &brush);
}

void DrawSkinPart(Gdiplus::Graphics& graphics, const DRAWITEMSTRUCT& item, Gdiplus::Image* face,
                  const Gdiplus::Rect* source)
{
    const INT width = item.rcItem.right - item.rcItem.left;
    const INT height = item.rcItem.bottom - item.rcItem.top;
    const Gdiplus::Rect destination(0, 0, width, height);
    if (face == nullptr) {
        Gdiplus::SolidBrush fallback(kNoSkinControlColour);
        graphics.FillRectangle(&fallback, destination);
        return;
    }
    Gdiplus::Rect part;
    if (source != nullptr) {
        part = *source;
    } else {
        RECT placed{};
        GetWindowRect(item.hwndItem, &placed);
        MapWindowPoints(HWND_DESKTOP, GetParent(item.hwndItem), reinterpret_cast<POINT*>(&placed), 2);
        part = Gdiplus::Rect(placed.left, placed.top, placed.right - placed.left, placed.bottom - placed.top);
    }
    graphics.DrawImage(face, destination, part.X, part.Y, part.Width, part.Height, Gdiplus::UnitPixel);
}

UniqueBrush CreateFacePattern(Gdiplus::Image& face)
{
    HDC screen = GetDC(nullptr);
    UniqueMemoryDc dc(CreateCompatibleDC(screen));
    UniqueBitmap bitmap(CreateCompatibleBitmap(screen, kWindowWidth, kWindowHeight));
    ReleaseDC(nullptr, screen);
    if (!dc || !bitmap)
        return {};
    {
        ScopedSelect selected(dc.get(), bitmap.get());
        Gdiplus::Graphics graphics(dc.get());
        ConfigureGraphics(graphics);
        graphics.DrawImage(&face, Gdiplus::Rect(0, 0, kWindowWidth, kWindowHeight), 0, 0,
                           static_cast<INT>(face.GetWidth()), static_cast<INT>(face.GetHeight()), Gdiplus::UnitPixel);
    }
    // The brush keeps its own copy of the pattern.
    return UniqueBrush(CreatePatternBrush(bitmap.get()));
}
