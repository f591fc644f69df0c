#pragma once

#include <string>

// What the launch tells the player when it stops: a text under the caption every launch message carries. The
// window shows it; the launch itself never touches a window.
inline constexpr wchar_t kLaunchCaption[] = L"无法启动游戏";

struct LaunchNotice {
    enum class Kind { Information, Error };
    std::wstring text;
    std::wstring caption = kLaunchCaption;
    Kind kind = Kind::Error;
};
