#pragma once

#include "base/config.h"
#include "launch/launch_notice.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Where and how the game connects once the launch is allowed.
struct LaunchTarget {
    std::wstring host;
    std::uint16_t port = 0;
    std::wstring clientCode;
};

// Replaces every occurrence of a non-empty pattern, scanning left to right and going on behind each inserted
// text, so a replacement is never scanned again. An empty pattern leaves the text as it is.
void ReplaceAll(std::wstring& text, std::wstring_view pattern, std::wstring_view replacement);

// The game's arguments: every "{host}" of the template replaced by the host, then every "{port}" by the port.
std::wstring ExpandGameArguments(std::wstring argumentTemplate, const std::wstring& host, std::uint16_t port);

// The quoted executable path, then a space and the arguments when there are any.
std::wstring BuildGameCommandLine(const std::wstring& executablePath, const std::wstring& arguments);

// The environment block the game starts with: `inherited` (a block as GetEnvironmentStringsW gives it: strings
// "name=value" each ended by a NUL, the block by one more) without any variable of the target's names, then the
// target's host, port and client code, sorted by name without regard to case as the system keeps a block.
std::wstring BuildGameEnvironment(const wchar_t* inherited, const LaunchTarget& target);

// Starts the game client configured under clientRoot with the connect server's host and port and the client
// code, on its command line and in its environment (the launcher's own stays as it is). The notice to show when
// the game cannot start, or nothing when it runs.
std::optional<LaunchNotice> StartGameClient(const LauncherConfig& config, const std::wstring& clientRoot,
                                            const LaunchTarget& target);
