#pragma once

#include <array>

// The screen resolutions the game offers, in the order of both resolution combo boxes. The launcher stores
// the index; the game's own key wants its code, which skips 1 to 4.
inline constexpr int kResolutionCount = 5;
inline constexpr std::array<const wchar_t*, kResolutionCount> kResolutionTexts = {
    L"1366 x 768", L"1440 x 900", L"1600 x 900", L"1680 x 1050", L"1920 x 1080"};
inline constexpr int kDefaultResolutionIndex = 4;

// Any stored or selected index brought into 0..4 (the nearest valid entry).
int ClampResolutionIndex(int index);

// The game's "Resolution" code of an index, clamped first.
int GameResolutionCode(int index);
