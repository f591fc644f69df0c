#pragma once

// The launch as plain steps: the checks before any network, then the authorisation exchange with the chosen
// region, ending in the connect server and client code the game starts with, or in a notice for the player.

#include "base/config.h"
#include "launch/game_start.h"
#include "launch/launch_notice.h"
#include "launch/region_info.h"

#include <cstdint>
#include <optional>
#include <string>

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

// Before anything goes over the network: a listed region, a chosen one, and the connection file in place under
// clientRoot (written when it is not; a build with the stand-in block keeps one that holds anything else).
LaunchPreconditions CheckLaunchPreconditions(bool hasRegions, bool hasSelection, const std::wstring& clientRoot);

// The exchange with the region's authorisation service (CAPTCHA, then AUTH). On acceptance the region's host and
// port become the connect server's and a 16-character dynamic code becomes the client code. The request carries
// the configured client version.
LaunchStep RunLaunchAuthorisation(const LauncherConfig& config, const RegionInfo& region,
                                  const std::wstring& clientCode, const std::wstring& clientId,
                                  const std::wstring& hardwareId);

// The whole launch decision for `region` and the player's (trimmed) account: the authorisation when the
// configuration enables it, then the client code check. Blocks for the exchange; never shows anything.
LaunchStep AuthoriseLaunch(const LauncherConfig& config, const RegionInfo& region, const std::wstring& account);
