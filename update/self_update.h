#pragma once

#include <string>

// Finishes a self-update in the "--apply-update" process: waits for the old launcher, copies the staged
// executable over it and starts it. Returns the process exit code (0 done, 2 gave up).
int CompleteSelfUpdate(const std::wstring& targetPath, const std::wstring& processId);
