#pragma once

#include <windows.h>

#include <string>

// The old launcher's side: starts the staged "<exe>.new" with "--apply-update", the path to replace and this
// process's id. True when the staged executable was started. Main window thread only.
bool RestartForSelfUpdate();

// The staged executable's side, in the "--apply-update" process: waits for the old launcher, copies itself over
// it and starts it. Returns the process exit code (0 done, 2 gave up).
int CompleteSelfUpdate(const std::wstring& targetPath, const std::wstring& processId);

// "<staged>" --apply-update "<running>" <pid>
std::wstring BuildSelfUpdateCommandLine(const std::wstring& stagedPath, const std::wstring& runningPath,
                                        DWORD processId);

// The process id as wcstoul reads it in base 10; 0 when no digit is read or the value is out of range.
DWORD ParseProcessId(const std::wstring& text);
