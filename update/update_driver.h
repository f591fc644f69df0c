#pragma once

#include "update/self_update.h"
#include "update/update_types.h"

#include <string>

// Starts an update on its own thread unless another long action runs; showErrors shows a failure in a box.
void CheckUpdatesAsync(bool showErrors);

// The update label's text from uiProgress and the state flags, and the label's refresh.
std::wstring BuildUpdateStatusText();
void RefreshUpdateLabel();
