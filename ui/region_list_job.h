#pragma once

#include <windows.h>

class MainWindow;

// The region-list job: loads the list on the window's thread for it unless another job runs, and takes its
// result (WM_APP_REGION_LIST_RESULT) into the region buttons. Main window thread only.
void StartRegionListLoad(MainWindow& window);
void OnRegionListResult(MainWindow& window, LPARAM result);
