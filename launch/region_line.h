#pragma once

// Reading the directory's reply: which lines are regions and what they say.

#include "launch/region_info.h"

#include <optional>
#include <string_view>

// A line "REGION<TAB>id<TAB>name<TAB>host<TAB>port<TAB>extra" (exactly six fields, UTF-8) as a region; nothing
// for any other line, for invalid UTF-8, for a host with a character that could break the game's command line or
// the resolver (IsValidHostText; an empty host is taken) and for a port that does not come out 1 to 65535. The
// name loses its control characters (C0, DEL, C1) and bidirectional marks, embeddings, overrides and isolates
// (U+061C, U+200E, U+200F, U+202A-U+202E, U+2066-U+2069), which could disguise it on the player's button.
std::optional<RegionInfo> ParseRegionLine(std::string_view line);

// A decimal number read the way the standard string-to-int conversion reads it: leading white space, an
// optional sign, digits as far as they go, the rest ignored. Nothing when no digit comes or the number does not
// fit a 32-bit signed integer (where the conversion would throw).
std::optional<int> ReadLeadingInt(std::wstring_view text);
