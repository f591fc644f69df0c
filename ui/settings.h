#pragma once

#include "ui/resolutions.h"

#include <string>

class MainWindow;

// The player's settings as the main window holds them while it runs.
struct LauncherSettings {
    // As stored; the launcher uses and saves it trimmed (ReadAccountText). The player cannot edit it here.
    std::wstring account;
    // An index into kResolutionTexts; clamped when it is stored.
    int resolutionIndex = kDefaultResolutionIndex;
    bool windowed = true;
};

// The settings in the launcher's registry key, each missing or unreadable value at its default and the
// resolution brought into range. Loading writes nothing.
LauncherSettings LoadSettings();
// Writes the settings into the launcher's key and, as the game reads them, into the game's own key.
void SaveSettings(const LauncherSettings& settings);
// The account with white space trimmed at both ends.
std::wstring ReadAccountText(const LauncherSettings& settings);

// The modal "游戏设置" dialog over `window`; OK stores the chosen resolution in its settings and saves them.
// Returns when the dialog is closed.
void ShowGameSettingsDialog(MainWindow& window);
