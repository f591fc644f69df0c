#pragma once

#include <string>

// Writes the data of a verified staged file to the disk. A rename on one volume moves only the directory entry:
// a staged file moved before its data is on the disk could, after a power loss, leave its target with the new
// name and no contents. On false, error holds the message for the player, naming targetPath.
bool FlushStagedFile(const std::wstring& stagedPath, const std::wstring& targetPath, std::wstring& error);

// Moves a staged file that FlushStagedFile wrote to the disk over its target, creating the target's folder if
// needed. On false, error holds the message for the player.
bool MoveStagedFile(const std::wstring& stagedPath, const std::wstring& targetPath, std::wstring& error);

// FlushStagedFile, then MoveStagedFile.
bool InstallStagedFile(const std::wstring& stagedPath, const std::wstring& targetPath, std::wstring& error);
