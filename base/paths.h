#pragma once

#include <string>

// Full path of the running executable; empty when the system cannot tell.
std::wstring GetExecutablePath();

// The folder that holds the executable (the game client's root): the path without its last component and the
// separators before it. A drive root keeps its separator ("C:\").
std::wstring ClientRootFromExecutablePath(const std::wstring& executablePath);

// Reads the executable path strictly (a failed or truncated read throws std::runtime_error) and returns its folder.
std::wstring DetermineClientRoot();

// Makes the folder that holds `path` and every folder above it that is missing. True when it exists on return;
// a folder that cannot be inspected (access denied on a parent, say) counts as one that could not be made.
bool EnsureParentFolder(const std::wstring& path);

// The client root of this process, set once at start-up before the main window exists.
const std::wstring& ClientRoot();
void InstallClientRoot(std::wstring root);
