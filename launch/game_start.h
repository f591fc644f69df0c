#pragma once

#include "launch/launch_notice.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Replaces every occurrence of a non-empty pattern, scanning left to right and going on behind each inserted
// text, so a replacement is never scanned again. An empty pattern leaves the text as it is.
void ReplaceAll(std::wstring& text, std::wstring_view pattern, std::wstring_view replacement);

// The game's arguments: every "{host}" of the template replaced by the host, then every "{port}" by the port.
std::wstring ExpandGameArguments(std::wstring argumentTemplate, const std::wstring& host, std::uint16_t port);

// The quoted executable path, then a space and the arguments when there are any.
std::wstring BuildGameCommandLine(const std::wstring& executablePath, const std::wstring& arguments);

// Starts the game client with the connect server's host and port and the client code, on its command line and
// in its environment. The notice to show when the game cannot start, or nothing when it runs.
std::optional<LaunchNotice> StartGameClient(const std::wstring& host, std::uint16_t port, const std::wstring& clientCode);
