#pragma once

#include <string>
#include <string_view>
#include <vector>

// Removes at both ends every character the C library's wide space test accepts.
std::wstring TrimWide(std::wstring_view text);

// Upper-cases each UTF-16 unit with the C library's wide mapping.
std::wstring UpperWide(std::wstring_view text);
bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b);

// Strict conversions: invalid input gives an empty result, never a partial one.
std::wstring Utf8ToWide(std::string_view bytes);
std::string WideToUtf8(std::wstring_view text);

// Cuts at every separator and keeps empty pieces: n separators give n + 1 fields.
std::vector<std::wstring> SplitFields(std::wstring_view text, wchar_t separator);
