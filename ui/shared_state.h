#pragma once

// The state the user-interface thread shares with the region-list, update and launch threads, and the messages
// those threads post to the main window. Workers never touch a window; they post, and the window owns the payload.

#include "launch/region_info.h"
#include "update/update_types.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

inline constexpr UINT WM_APP_REGION_LIST_RESULT = WM_APP + 1;  // lParam RegionListResult*
inline constexpr UINT WM_APP_STATUS_TEXT = WM_APP + 2;         // lParam std::wstring*
inline constexpr UINT WM_APP_UPDATE_FINISHED = WM_APP + 4;     // lParam vorn::UpdateResult*
inline constexpr UINT WM_APP_PROGRESS_CHANGED = WM_APP + 5;    // no payload: the data is in sharedProgress
inline constexpr UINT WM_APP_LAUNCH_FINISHED = WM_APP + 6;     // lParam LaunchStep*
inline constexpr UINT kFirstWorkerMessage = WM_APP_REGION_LIST_RESULT;
inline constexpr UINT kLastWorkerMessage = WM_APP_LAUNCH_FINISHED;

// The main window; the target of every worker post. Set first thing when the window is created.
extern HWND mainWindow;

extern std::atomic<bool> busy;
extern std::atomic<bool> windowClosing;
extern std::atomic<bool> cancelRequested;

// User-interface thread only.
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

// Guarded by regionMutex.
extern std::mutex regionMutex;
extern std::vector<RegionInfo> regions;

// Guarded by progressMutex; never held together with regionMutex.
extern std::mutex progressMutex;
extern vorn::UpdateProgress sharedProgress;
extern bool progressPending;

// Posts a message with a heap payload to the main window. The window owns the payload once the post
// succeeds; while the window is closing, or when the post fails, the payload is freed here.
template <typename T>
void PostToMainWindow(UINT message, WPARAM wParam, std::unique_ptr<T> payload)
{
    if (windowClosing.load())
        return;
    if (PostMessageW(mainWindow, message, wParam, reinterpret_cast<LPARAM>(payload.get())))
        payload.release();
}

// The window side of a payload: takes ownership of what lParam carries.
template <typename T>
std::unique_ptr<T> TakePayload(LPARAM lParam)
{
    return std::unique_ptr<T>(reinterpret_cast<T*>(lParam));
}

// Any thread: shows a text in the status line.
void PostStatusText(std::wstring text);

// The display name of regions[index] under regionMutex, or empty when there is no such region.
std::wstring RegionDisplayName(int index);

// Under regionMutex: selectedRegion points at an existing region.
bool HasValidSelection();
