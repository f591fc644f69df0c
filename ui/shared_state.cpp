#include "ui/shared_state.h"

HWND mainWindow = nullptr;

std::atomic<bool> busy{false};
std::atomic<bool> windowClosing{false};
std::atomic<bool> cancelRequested{false};

bool updateRunning = false;
bool closePending = false;
bool directoryConnected = false;
bool hasRegions = false;
bool updateFailed = false;
bool showUpdateErrors = false;
bool autoUpdatePending = true;
int selectedRegion = -1;
vorn::UpdateProgress uiProgress;
int progressPercent = 0;
std::wstring statusText = L"准备就绪。";
std::thread regionListThread;
std::thread updateThread;
std::thread launchThread;

std::mutex regionMutex;
std::vector<RegionInfo> regions;

std::mutex progressMutex;
vorn::UpdateProgress sharedProgress;
bool progressPending = false;

void PostStatusText(std::wstring text)
{
    PostToMainWindow(WM_APP_STATUS_TEXT, 0, std::make_unique<std::wstring>(std::move(text)));
}

std::wstring RegionDisplayName(int index)
{
    std::lock_guard lock(regionMutex);
    if (index < 0 || static_cast<std::size_t>(index) >= regions.size())
        return {};
    return regions[static_cast<std::size_t>(index)].displayName;
}

bool HasValidSelection()
{
    std::lock_guard lock(regionMutex);
    return selectedRegion >= 0 && static_cast<std::size_t>(selectedRegion) < regions.size();
}
