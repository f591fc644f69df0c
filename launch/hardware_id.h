#pragma once

// Who asks to start the game: the hardware id names the Windows installation (its machine GUID, or an id of the
// launcher's own made once and kept in the registry); the client id is the account or a name derived from the
// hardware id. Both travel as fields of the tab-separated launch request.

#include <windows.h>

#include <string>
#include <string_view>

// The machine GUID (64-bit view, then the default view), else the stored "HardwareId", else a new id that is
// stored as "HardwareId" for next time. Empty when every source fails.
std::wstring GetHardwareId();

// A REG_SZ or REG_EXPAND_SZ value of 2 to 4096 bytes, up to its first NUL, not expanded, sanitised. Empty on
// any failure. `extraAccess` is combined with KEY_QUERY_VALUE (e.g. KEY_WOW64_64KEY).
std::wstring ReadRegistryString(HKEY root, const wchar_t* subkey, const wchar_t* name, REGSAM extraAccess);

// A new GUID as 36 upper-case characters (8-4-4-4-12 with hyphens); empty on failure.
std::wstring NewHardwareGuid();

// Tab, carriage return and line feed become spaces so the value stays inside one protocol field.
std::wstring SanitizeField(std::wstring_view value);

// The sanitised account cut to 32 UTF-16 units, or without one "CLIENT-" and the first 24 ASCII letters and
// digits of the hardware id ("CLIENT-UNKNOWN" when there are none).
std::wstring BuildClientId(std::wstring_view account, std::wstring_view hardwareId);
