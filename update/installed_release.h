#pragma once

// The release number of the last signed update installed in a client folder, kept in a small file in that folder.
// It describes the files beside it, so it lives and dies with them: a folder copied elsewhere keeps its guard
// against older releases, a client unpacked afresh starts again from none, and no registry key has to name the
// folder (letter case, short names and links would make one folder many names).

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr wchar_t kInstalledReleaseFileName[] = L".vorn-release";

// "<number>\n"; anything else counts as no release installed (0). Only someone who can already write the client
// folder can change the file, and they could as well replace the game itself, so a damaged file is no reason to
// lock the player out of every update.
std::uint64_t ParseInstalledRelease(std::string_view bytes);

// 0 when the folder has no readable record of a release.
std::uint64_t ReadInstalledRelease(const std::wstring& clientRoot);

// Replaces the file in one move, so a reader sees the old number or the new one; false when it cannot.
bool WriteInstalledRelease(const std::wstring& clientRoot, std::uint64_t release);
