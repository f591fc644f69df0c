#include "ui/shared_state.h"

HWND mainWindow = nullptr;

WorkerChannel workers;

std::atomic<bool> busy{false};

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

std::vector<RegionInfo> regions;

void PostStatusText(std::wstring text)
{
    PostToMainWindow(WM_APP_STATUS_TEXT, 0, std::make_unique<std::wstring>(std::move(text)));
}

std::wstring RegionDisplayName(int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= regions.size())
        return {};
    return regions[static_cast<std::size_t>(index)].displayName;
}

bool HasValidSelection()
{
    return selectedRegion >= 0 && static_cast<std::size_t>(selectedRegion) < regions.size();
}
