#pragma once

#include <windows.h>

#include <string>

// The old launcher's side: starts the staged "<exe>.new" with "--apply-update", the path to replace and this
// process's id, in the client root. True when the staged executable was started. Main window thread only.
bool RestartForSelfUpdate(const std::wstring& clientRoot);

// At start-up, holding the single-instance mutex: deletes the staged "<exe>.new" of a self-update that has
// finished and the temporary copy a helper that was stopped half-way left beside the executable. A file still
// open (a helper that is still copying) stays.
void RemoveSelfUpdateLeftovers();

struct SelfUpdateOutcome {
    int exitCode = 0;      // 0 done, 2 gave up
    std::wstring message;  // for the player when it gave up; empty when done
};

// The staged executable's side, in the "--apply-update" process: waits for the old launcher, copies itself to a
// flushed temporary file beside it and moves that over it in one step, then starts the launcher at the target,
// which removes the staged file as it starts. When the copy or the move fails, the old launcher is left as it
// was and started again, and the outcome carries the message for the player.
SelfUpdateOutcome CompleteSelfUpdate(const std::wstring& targetPath, const std::wstring& processId);

// "<staged>" --apply-update "<running>" <pid>
std::wstring BuildSelfUpdateCommandLine(const std::wstring& stagedPath, const std::wstring& runningPath,
                                        DWORD processId);

// The process id as wcstoul reads it in base 10; 0 when no digit is read or the value is out of range.
DWORD ParseProcessId(const std::wstring& text);
