#pragma once

#include "update/update_types.h"

#include <string>

// What the face says, as plain values: the texts and sizes the painting routines draw.

// The region-name box: "[无]" without a valid selection, else the name in corner brackets.
std::wstring RegionNameText(bool hasSelection, const std::wstring& name);

// The status line; the percentage follows only while work that counts one runs and has started.
std::wstring StatusLineText(const std::wstring& status, bool counting, int percent);

int ClampPercent(int percent);

// Width of the green part of a progress bar whose track is `trackWidth` pixels wide (rounded toward zero).
int ProgressFillWidth(int trackWidth, int percent);

// The clamped percentage as the bar labels it, e.g. "37%".
std::wstring PercentText(int percent);

// The update label's first line: what the update is doing, or that it failed or is being cancelled.
std::wstring UpdateStatusText(const vorn::UpdateProgress& progress, bool closing, bool failed);
// The update label's text: that line and both percentages.
std::wstring UpdateLabelText(const std::wstring& stateText, const vorn::UpdateProgress& progress);
// The status line while `file` (its client path) downloads.
std::wstring DownloadStartedText(const std::wstring& file);
// The status line after an update that succeeded, having moved `filesUpdated` files into place.
std::wstring UpdateSucceededText(std::int32_t filesUpdated);
