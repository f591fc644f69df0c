#pragma once

// The messages the region-list, update and launch threads post to the main window through its WorkerChannel.
// Workers never touch a window; they post, and the window owns the payload.

#include "ui/worker_channel.h"

#include <windows.h>

#include <memory>
#include <string>

inline constexpr UINT WM_APP_REGION_LIST_RESULT = WM_APP + 1;  // lParam RegionListResult*
inline constexpr UINT WM_APP_STATUS_TEXT = WM_APP + 2;         // lParam std::wstring*
inline constexpr UINT WM_APP_UPDATE_FINISHED = WM_APP + 4;     // lParam vorn::UpdateResult*
inline constexpr UINT WM_APP_PROGRESS_CHANGED = WM_APP + 5;    // no payload: WorkerChannel::TakeProgress
inline constexpr UINT WM_APP_LAUNCH_FINISHED = WM_APP + 6;     // lParam LaunchStep*
inline constexpr UINT kFirstWorkerMessage = WM_APP_REGION_LIST_RESULT;
inline constexpr UINT kLastWorkerMessage = WM_APP_LAUNCH_FINISHED;

// The window side of a payload: takes ownership of what lParam carries.
template <typename T>
std::unique_ptr<T> TakePayload(LPARAM lParam)
{
    return std::unique_ptr<T>(reinterpret_cast<T*>(lParam));
}

// Any thread: shows a text in the status line of the window `workers` posts to.
void PostStatusText(WorkerChannel& workers, std::wstring text);
