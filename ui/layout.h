#pragma once

// Where everything sits on the main window, in client pixels: the window itself, every control, the areas the
// painting fills and the drag band. tools/make_skin.py reads these lines to place the face's plates under the
// controls, so keep each value on its own line in the form it has here.

#include <windows.h>

struct LayoutRect {
    int x;
    int y;
    int width;
    int height;
};

inline constexpr int kWindowWidth = 1040;
inline constexpr int kWindowHeight = 665;
// The width and height of the ellipse that rounds the face's corners.
inline constexpr int kWindowCornerSize = 12;
// The top rows that move the window like a caption bar.
inline constexpr int kDragBandHeight = 69;

// The top band: four link buttons and the download button (the skin carries their captions), and "关闭".
inline constexpr LayoutRect kWebsiteButtonRect{43, 22, 99, 32};
inline constexpr LayoutRect kRegisterButtonRect{145, 22, 98, 32};
inline constexpr LayoutRect kDownloadButtonRect{247, 22, 99, 32};
inline constexpr LayoutRect kSponsorButtonRect{699, 22, 99, 32};
inline constexpr LayoutRect kForumButtonRect{799, 22, 106, 32};
inline constexpr LayoutRect kCloseButtonRect{986, 22, 35, 33};

// The announcement panel, on black; while an update runs the update label sits below it. The face frames both
// in one area.
inline constexpr LayoutRect kAnnouncementRect{265, 101, 510, 196};
inline constexpr LayoutRect kUpdateLabelRect{272, 304, 494, 54};
inline constexpr LayoutRect kBlackAreaRect{265, 101, 510, 264};

// Nine region buttons in three rows of three: slot i at column i % 3 and row i / 3.
inline constexpr LayoutRect kFirstRegionButtonRect{264, 375, 165, 34};
inline constexpr int kRegionColumns = 3;
inline constexpr int kRegionColumnStep = 174;
inline constexpr int kRegionRowStep = 39;
// The face every region button shows: the one under the second button, kept free of any caption.
inline constexpr int kRegionFaceSlot = 1;

// The bottom of the centre panel: the chosen region's name, the windowed and settings buttons, "进入游戏".
inline constexpr LayoutRect kRegionNameRect{349, 507, 205, 21};
inline constexpr LayoutRect kWindowedButtonRect{290, 543, 131, 31};
inline constexpr LayoutRect kGameSettingsButtonRect{421, 543, 127, 31};
inline constexpr LayoutRect kEnterGameButtonRect{575, 503, 203, 69};
// The box of the windowed button, relative to the button.
inline constexpr LayoutRect kWindowedBoxRect{31, 7, 13, 13};

// The status line at the foot of the face.
inline constexpr LayoutRect kStatusLineRect{12, 619, 560, 19};

inline constexpr RECT ToRect(const LayoutRect& rect)
{
    return {rect.x, rect.y, rect.x + rect.width, rect.y + rect.height};
}

inline constexpr LayoutRect RegionButtonRect(int slot)
{
    return {kFirstRegionButtonRect.x + kRegionColumnStep * (slot % kRegionColumns),
            kFirstRegionButtonRect.y + kRegionRowStep * (slot / kRegionColumns), kFirstRegionButtonRect.width,
            kFirstRegionButtonRect.height};
}
