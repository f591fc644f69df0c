#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace vorn {

// The buffer the executable's path is read into; a path that fills it may be cut short.
constexpr DWORD kModulePathCapacity = 32768;

// The page's address from what the module-path query returned: `copied` characters of `buffer`, read with
// kModulePathCapacity. Nothing when the query failed (0) or may have truncated the path (it filled the buffer).
// The path goes in as the system returned it: the res: protocol takes it unescaped.
std::optional<std::wstring> AnnouncementAddress(const wchar_t* buffer, DWORD copied);

}
