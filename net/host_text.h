#pragma once

// Which host texts from a peer may reach the resolver, the game's command line and its environment.

#include <string_view>

// Any text, the empty one included, that holds nothing able to break the game's command line or the resolver:
// no space character (U+0020 and every other Unicode space or line and paragraph separator), no double quote,
// no control character (C0, DEL, C1), no format character (Unicode category Cf: zero-width and bidirectional
// marks, the byte-order mark, ...) and no unpaired surrogate. Everything else is the resolver's to judge, so
// underscores, a trailing dot, non-ASCII names and IPv6 zones pass as they are.
bool IsValidHostText(std::wstring_view host);
