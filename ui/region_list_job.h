#pragma once

#include "launch/region_list.h"

class MainWindow;

// The region-list job: loads the list on a thread of its own unless another job runs, and takes its result (a
// task it posts) into the region buttons. Main window thread only.
void StartRegionListLoad(MainWindow& window);
void OnRegionListResult(MainWindow& window, RegionListResult result);
