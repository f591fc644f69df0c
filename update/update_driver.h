#pragma once

// The client update as the launcher runs it: the transaction with the configured site, the client root and the
// launcher's own path; and the texts the update label shows.

#include "update/update_transaction.h"
#include "update/update_types.h"

#include <string>

// Runs the update transaction against the configured site. The callbacks come from the calling thread.
vorn::UpdateResult RunConfiguredUpdate(vorn::UpdateStatusCallback onStatus, vorn::UpdateCancelQuery isCancelled,
                                       vorn::UpdateProgressCallback onProgress);

// The label's first line: what the update is doing, or that it failed or is being cancelled.
std::wstring UpdateStatusText(const vorn::UpdateProgress& progress, bool closing, bool failed);
// The label's text: that line and both percentages.
std::wstring UpdateLabelText(const std::wstring& stateText, const vorn::UpdateProgress& progress);
