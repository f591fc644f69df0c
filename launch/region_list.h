#pragma once

// Starts loading the region list on a detached thread unless another long action runs (main window thread).
void StartRegionListLoad();
