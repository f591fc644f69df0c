#pragma once

#include <string>

// The game reads its connection data from "Data\Local\Connect.msil" under the client root; the launcher keeps
// that file equal to the connection block it carries.
std::wstring ConnectFilePath();

// True when the file at `path` is exactly the connection block: same size, same bytes.
bool ConnectFileMatches(const std::wstring& path);

// True when, on return, the connection file is correct. A correct file is left untouched; anything else is
// replaced through a temporary file next to it, and the result is read back.
bool EnsureConnectFile();
