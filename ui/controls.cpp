#include "ui/controls.h"

HWND downloadButton = nullptr;
HWND updateLabel = nullptr;
std::array<HWND, kRegionButtonCount> regionButtons{};
HWND windowedCheck = nullptr;
HWND enterGameButton = nullptr;
HWND accountEdit = nullptr;
HWND resolutionCombo = nullptr;
HWND announcementView = nullptr;

HFONT normalFont = nullptr;
HFONT boldFont = nullptr;
HBRUSH whiteBrush = nullptr;
HBRUSH paleBrush = nullptr;
