#include "ui/paint_text.h"

#include <algorithm>

namespace {

std::wstring Counted(const wchar_t* text, const vorn::UpdateProgress& progress)
{
    return std::wstring(text) + L"（" + std::to_wstring(progress.current) + L"/" + std::to_wstring(progress.total) +
           L"）";
}

}

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

std::wstring UpdateStatusText(const vorn::UpdateProgress& progress, bool closing, bool failed)
{
    if (closing)
        return L"正在取消更新，请稍候…";
    if (failed)
        return L"更新失败，点击此处重试";
    switch (progress.stage) {
    case vorn::UpdateStage::kReadingManifest:
        return L"正在读取客户端更新清单…";
    case vorn::UpdateStage::kFinished:
        return progress.total == 0 ? L"客户端已是最新版本" : L"客户端文件更新完成";
    case vorn::UpdateStage::kChecking:
        return Counted(L"检查客户端文件", progress);
    case vorn::UpdateStage::kInstalling:
        return Counted(L"安装客户端文件", progress);
    case vorn::UpdateStage::kDownloading:
    case vorn::UpdateStage::kVerifying:
        break;
    }
    return Counted(L"升级客户端文件", progress);
}

std::wstring UpdateLabelText(const std::wstring& stateText, const vorn::UpdateProgress& progress)
{
    return stateText + L"，更新 " + std::to_wstring(progress.filePercent) + L"%，进度 " +
           std::to_wstring(progress.overallPercent) + L"%";
}

std::wstring DownloadStartedText(const std::wstring& file)
{
    return L"正在更新：" + file + L"...";
}

std::wstring UpdateSucceededText(std::int32_t filesUpdated)
{
    if (filesUpdated == 0)
        return L"客户端已是最新版本。";
    return L"更新完成，共更新 " + std::to_wstring(filesUpdated) + L" 个文件。";
}
