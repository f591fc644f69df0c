#pragma once

#include <string>
#include <string_view>

// Replaces the file at path with bytes in one move: the bytes go to "<path>.new" first, onto the disk, and that
// file then takes the name, so a reader sees the old file or the new one and never a part. False when it cannot
// (the old file stays); a second writer at the same moment finds "<path>.new" held and gives up.
bool ReplaceFileBytes(const std::wstring& path, std::string_view bytes);
