#pragma once

#include "launch/region_info.h"

#include <string>

// Command 206: checks the state, keeps the connection file, asks the region for permission and starts the game.
void EnterGame();

// The exchange with the region's authorisation service (CAPTCHA, then AUTH). On acceptance the region's host and
// port become the connect server's, a 16-character dynamic code becomes the client code, and the result is true.
// On a refusal or an error it has shown its message box and returns false.
bool RunLaunchAuthorisation(RegionInfo& region, std::wstring& clientCode, const std::wstring& clientId,
                            const std::wstring& hardwareId);
