#pragma once

#include "base/unique_resource.h"

#include <windows.h>

#include <gdiplus.h>

#include <string>

// The quality every GDI+ surface of the window uses: antialiased shapes, high-quality bicubic images,
// ClearType text.
void ConfigureGraphics(Gdiplus::Graphics& graphics);

// Draws `text` into `layout`, vertically centred, with an ellipsis when it does not fit. `pixels` is the font
// size; the face is the window's "Microsoft YaHei UI".
void DrawSkinText(Gdiplus::Graphics& graphics, const std::wstring& text, const Gdiplus::RectF& layout,
                  const Gdiplus::Color& colour, Gdiplus::FontStyle style, Gdiplus::StringAlignment alignment,
                  float pixels);

// A control's background: the part of `face` under it (the control sits on its parent, which wears the face),
// or `source` of the face when given (the common region-button face). Without a face the control is filled
// with the fallback colour.
void DrawSkinPart(Gdiplus::Graphics& graphics, const DRAWITEMSTRUCT& item, Gdiplus::Image* face,
                  const Gdiplus::Rect* source = nullptr);

// A brush that paints `face` as the window wears it: a pattern of the whole face drawn at the window's size.
// Null when the system has no room for it.
UniqueBrush CreateFacePattern(Gdiplus::Image& face);

// The colours the face falls back to when there is no skin.
inline const Gdiplus::Color kNoSkinWindowColour(18, 17, 16);
inline const Gdiplus::Color kNoSkinControlColour(24, 20, 18);
