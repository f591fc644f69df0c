#pragma once

#include <string>

// Moves a verified staged file over its target, creating the target's folder if needed. The staged data is
// flushed to disk first, so the rename can never reach the disk ahead of the file's contents. On false, error
// holds the message for the player.
bool InstallStagedFile(const std::wstring& stagedPath, const std::wstring& targetPath, std::wstring& error);
