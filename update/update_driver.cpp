#include "update/update_driver.h"

#include "base/config.h"
#include "base/paths.h"

#include <utility>

namespace {

std::wstring Counted(const wchar_t* text, const vorn::UpdateProgress& progress)
{
    return std::wstring(text) + L"（" + std::to_wstring(progress.current) + L"/" + std::to_wstring(progress.total) +
           L"）";
}

}

vorn::UpdateResult RunConfiguredUpdate(vorn::UpdateStatusCallback onStatus, vorn::UpdateCancelQuery isCancelled,
                                       vorn::UpdateProgressCallback onProgress)
{
    const LauncherConfig& config = Config();
    return vorn::ApplyClientUpdate(config.updateBaseUrl, config.manifestName, ClientRoot(), GetExecutablePath(),
                                   std::move(onStatus), nullptr, std::move(isCancelled), std::move(onProgress),
                                   config.updatePublicKey, config.minimumRelease, config.maxUnknownLength);
}

std::wstring UpdateStatusText(const vorn::UpdateProgress& progress, bool closing, bool failed)
{
    if (closing)
        return L"正在取消更新，请稍候…";
    if (failed)
        return L"更新失败，点击此处重试";
    switch (progress.stage) {
    case 0:
        return L"正在读取客户端更新清单…";
    case 5:
        return progress.total == 0 ? L"客户端已是最新版本" : L"客户端文件更新完成";
    case 1:
        return Counted(L"检查客户端文件", progress);
    case 4:
        return Counted(L"安装客户端文件", progress);
    default:
        return Counted(L"升级客户端文件", progress);
    }
}

std::wstring UpdateLabelText(const std::wstring& stateText, const vorn::UpdateProgress& progress)
{
    return stateText + L"，更新 " + std::to_wstring(progress.filePercent) + L"%，进度 " +
           std::to_wstring(progress.overallPercent) + L"%";
}
