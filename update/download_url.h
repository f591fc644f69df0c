#pragma once

#include <optional>
#include <string>

// Text rules for the addresses of the update site. Pure functions: no network, no file system.

// The encoded relative path joined to the base: backslashes become slashes, the path is percent-encoded as
// UTF-8 byte by byte (letters, digits and "-_.~/" stay), and exactly one slash separates base and path.
std::wstring BuildDownloadUrl(const std::wstring& baseUrl, std::wstring relativePath);

// Joins an already encoded path to the base URL with exactly one slash between them; the base is not encoded.
std::wstring JoinUrlPath(std::wstring baseUrl, const std::wstring& encodedPath);

// Percent-encoding of one path as its UTF-8 bytes; text that is not valid UTF-16 encodes to nothing.
std::wstring PercentEncodePath(const std::wstring& path);

// The address as it is handed to the URL parser: trimmed, with "http://" put in front when it has no scheme.
std::wstring NormalizeDownloadUrl(const std::wstring& url);

// The address a redirect's Location names, read relative to the address it answered (RFC 3986, section 5.2): an
// absolute address, "//host/path", "/path", "?query" or a path beside the answered one, with "." and ".."
// segments worked out and any fragment left off. None for an empty value or one with spaces or control
// characters, which no request line can carry.
std::optional<std::wstring> RedirectTarget(const std::wstring& from, const std::wstring& location);
