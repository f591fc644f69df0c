#pragma once

#include <windows.h>

// The announcement page's own colours (resources/gg.css), for what the window draws in the panel's place.
inline constexpr COLORREF kPageBackgroundColour = RGB(0x00, 0x00, 0x00);  // body: background-color
inline constexpr COLORREF kPageTextColour = RGB(0xFF, 0xFF, 0xFF);        // .txt: an ordinary line
