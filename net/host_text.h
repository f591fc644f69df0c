#pragma once

// Which host texts from a peer may reach a connect, a command line or an environment variable.

#include <string_view>

// A host name (labels of 1 to 63 letters, digits and '-', no '-' at either end of a label, joined by single
// dots, at most 253 characters) or an IP literal (IPv4 dotted decimal, IPv6 without brackets or zone). Anything
// else (empty text, spaces, quotes, control characters, ...) is refused.
bool IsValidHostText(std::wstring_view host);
