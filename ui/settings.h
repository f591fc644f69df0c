#pragma once

#include <string>

// The player's settings in the registry, held by the hidden controls accountEdit, resolutionCombo and the
// windowedCheck state.
void LoadSettings();
void SaveSettings();
std::wstring ReadAccountText();

// The modal "游戏设置" dialog; returns when it is closed.
void ShowGameSettingsDialog();
