#pragma once

#include "update/download_url.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// Called after every chunk written with (received, total); total is 0 while the length is unknown.
using DownloadProgress = std::function<void(std::uint64_t received, std::uint64_t total)>;
// Asked before anything else and before every read; true stops the download.
using DownloadCancelled = std::function<bool()>;

// Blocking GET of url into targetPath over WinHTTP. True when the whole body is in the file; otherwise error
// holds one user-facing message and no part of the body is left at targetPath.
bool DownloadToFile(const std::wstring& url, const std::wstring& targetPath, DownloadProgress onProgress,
                    std::wstring& error, DownloadCancelled isCancelled);

// The Content-Length header text as a byte count: leading decimal digits are enough; an empty, non-numeric or
// overflowing text gives no length.
std::optional<std::uint64_t> ParseContentLength(const std::wstring& text);
