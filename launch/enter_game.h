#pragma once

// The launch as plain steps: the checks before any network, then the authorisation exchange with the chosen
// region, ending in the connect server and client code the game starts with, or in a notice for the player.

#include "launch/launch_notice.h"
#include "launch/region_info.h"

#include <cstdint>
#include <optional>
#include <string>

// Where and how the game connects once the launch is allowed.
struct LaunchTarget {
    std::wstring host;
    std::uint16_t port = 0;
    std::wstring clientCode;
};

// The outcome of the authorisation: a target, or the notice that stopped the launch.
struct LaunchStep {
    std::optional<LaunchTarget> target;
    LaunchNotice notice;
};

// What the checks before the network found.
struct LaunchPreconditions {
    std::optional<LaunchNotice> stop;  // the notice of the first check that failed; nothing: the launch goes on
    bool connectFileKept = false;      // a stand-in build found another connection file and left it as it was
};

// Before anything goes over the network: a listed region, a chosen one, and the connection file in place
// (written when it is not; a build with the stand-in block keeps one that holds anything else).
LaunchPreconditions CheckLaunchPreconditions(bool hasRegions, bool hasSelection);

// The exchange with the region's authorisation service (CAPTCHA, then AUTH). On acceptance the region's host and
// port become the connect server's and a 16-character dynamic code becomes the client code.
LaunchStep RunLaunchAuthorisation(const RegionInfo& region, const std::wstring& clientCode,
                                  const std::wstring& clientId, const std::wstring& hardwareId);

// The whole launch decision for `region` and the player's (trimmed) account: the authorisation when it is
// enabled, then the client code check. Blocks for the exchange; never shows anything.
LaunchStep AuthoriseLaunch(const RegionInfo& region, const std::wstring& account);
