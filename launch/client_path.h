#pragma once

#include <string>

// A path under the client root: the root joined with a relative path and lexically normalised ("." and ".."
// parts and doubled separators disappear, forward slashes become backslashes).
std::wstring JoinClientPath(const std::wstring& root, const std::wstring& relative);
