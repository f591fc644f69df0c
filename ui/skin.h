#pragma once

#include "base/com_ptr.h"

#include <windows.h>

#include <gdiplus.h>

#include <memory>

// A decoded window face. GDI+ decodes from the stream lazily and may go back to it, so the stream lives as long
// as the image and is released after it.
class Skin {
public:
    // The face, or null when there is none (no resource, no stream, an undecodable image).
    Gdiplus::Image* Image() const;
    // Decodes resource 101 of type "PNG" from `module` and makes it the face. A failure keeps whatever face
    // there was.
    void LoadFrom(HMODULE module);
    void Free();

private:
    ComPtr<IStream> stream_;
    std::unique_ptr<Gdiplus::Image> image_;
};
