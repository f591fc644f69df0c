#pragma once

#include <string>

// The game reads its connection data from "Data\Local\Connect.msil" under the client root; the launcher keeps
// that file equal to the connection block it carries.
std::wstring ConnectFilePath(const std::wstring& clientRoot);

// True when the file at `path` is exactly the connection block: same size, same bytes.
bool ConnectFileMatches(const std::wstring& path);

enum class ConnectFileOutcome {
    Correct,    // the file holds the block (now, or already)
    OtherKept,  // the file holds something else, and was left so
    Failed,     // the file could not be made correct
};

// Makes the connection file under clientRoot hold the block: a correct file is left untouched; anything else is replaced through a
// temporary file next to it, and the result is read back. With `keepOtherFile` (a build that carries only the
// stand-in block) an existing file that holds anything else is left as it is: it is likely the player's real one,
// which the stand-in would break; a missing file is still written.
ConnectFileOutcome EnsureConnectFile(const std::wstring& clientRoot, bool keepOtherFile);
