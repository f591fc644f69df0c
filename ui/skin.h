#pragma once

#include "base/com_ptr.h"
#include "base/unique_resource.h"

#include <windows.h>

#include <gdiplus.h>

#include <memory>

// A decoded window face. GDI+ decodes from the stream lazily and may go back to it, so the stream lives as long
// as the image and is released after it.
class Skin {
public:
    Skin();

    // The face, or null when there is none (no resource, no stream, an undecodable image).
    Gdiplus::Image* Image() const;
    // What an owner-drawn button erases its place with before it is drawn: the face as a pattern (the window's
    // pixel (x, y) at the brush origin's (x, y), so the origin goes to minus the button's place), or without a
    // face the colour its drawing falls back to.
    HBRUSH EraseBrush() const;
    // Decodes resource 101 of type "PNG" from `module` and makes it the face. A failure keeps whatever face
    // there was.
    void LoadFrom(HMODULE module);
    void Free();

private:
    ComPtr<IStream> stream_;
    std::unique_ptr<Gdiplus::Image> image_;
    UniqueBrush facePattern_;
    UniqueBrush fallbackBrush_;
};
