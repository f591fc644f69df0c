#include "ui/paint_text.h"

#include <algorithm>

std::wstring RegionNameText(bool hasSelection, const std::wstring& name)
{
    if (!hasSelection)
        return L"[无]";
    return L"『 " + name + L" 』";
}

std::wstring StatusLineText(const std::wstring& status, bool counting, int percent)
{
    if (!counting || percent <= 0)
        return status;
    return status + L"  " + std::to_wstring(percent) + L"%";
}

int ClampPercent(int percent)
{
    return std::clamp(percent, 0, 100);
}

int ProgressFillWidth(int trackWidth, int percent)
{
    return trackWidth * ClampPercent(percent) / 100;
}

std::wstring PercentText(int percent)
{
    return std::to_wstring(ClampPercent(percent)) + L"%";
}
