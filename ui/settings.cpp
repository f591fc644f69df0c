#include "ui/settings.h"

void LoadSettings() {}
void SaveSettings() {}
std::wstring ReadAccountText()
{
    return {};
}
void ShowGameSettingsDialog() {}
