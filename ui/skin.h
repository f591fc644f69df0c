#pragma once

#include <windows.h>

#include <gdiplus.h>

// The decoded window face, or null when there is none (no resource, no stream, an undecodable image).
Gdiplus::Image* SkinImage();

// Decodes resource 101 of type "PNG" from `module` and makes it the face; LoadSkin uses the executable.
// A failure keeps whatever face there was.
void LoadSkinFrom(HMODULE module);
