#pragma once

// The state the user-interface thread shares with the region-list, update and launch threads, and the messages
// those threads post to the main window. Workers never touch a window; they post, and the window owns the payload.

#include "launch/region_info.h"
#include "ui/worker_channel.h"
#include "update/update_types.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

inline constexpr UINT WM_APP_REGION_LIST_RESULT = WM_APP + 1;  // lParam RegionListResult*
inline constexpr UINT WM_APP_STATUS_TEXT = WM_APP + 2;         // lParam std::wstring*
inline constexpr UINT WM_APP_UPDATE_FINISHED = WM_APP + 4;     // lParam vorn::UpdateResult*
inline constexpr UINT WM_APP_PROGRESS_CHANGED = WM_APP + 5;    // no payload: WorkerChannel::TakeProgress
inline constexpr UINT WM_APP_LAUNCH_FINISHED = WM_APP + 6;     // lParam LaunchStep*
inline constexpr UINT kFirstWorkerMessage = WM_APP_REGION_LIST_RESULT;
inline constexpr UINT kLastWorkerMessage = WM_APP_LAUNCH_FINISHED;

// The main window. Set first thing when the window is created.
extern HWND mainWindow;

// What the job threads share with the window; nothing else here is touched by them.
extern WorkerChannel workers;

// User-interface thread only. `busy` is the long-action slot (ui/jobs.h).
extern std::atomic<bool> busy;
extern bool updateRunning;
extern bool closePending;
extern bool directoryConnected;
extern bool hasRegions;
extern bool updateFailed;
extern bool showUpdateErrors;
extern bool autoUpdatePending;
extern int selectedRegion;
extern vorn::UpdateProgress uiProgress;
extern int progressPercent;
extern std::wstring statusText;
// The threads of the three jobs; each is joined by its job's finish, or at the latest when the window is destroyed.
extern std::thread regionListThread;
extern std::thread updateThread;
extern std::thread launchThread;

// The regions of the last list.
extern std::vector<RegionInfo> regions;

// Any thread: posts a message with a heap payload to the main window (WorkerChannel::Post).
template <typename T>
void PostToMainWindow(UINT message, WPARAM wParam, std::unique_ptr<T> payload)
{
    workers.Post(message, wParam, std::move(payload));
}

// The window side of a payload: takes ownership of what lParam carries.
template <typename T>
std::unique_ptr<T> TakePayload(LPARAM lParam)
{
    return std::unique_ptr<T>(reinterpret_cast<T*>(lParam));
}

// Any thread: shows a text in the status line.
void PostStatusText(std::wstring text);

// The display name of regions[index], or empty when there is no such region.
std::wstring RegionDisplayName(int index);

// selectedRegion points at an existing region.
bool HasValidSelection();
