#pragma once

#include "update/fetcher.h"

#include <cstdint>
#include <string>

// GET of url through fetcher into targetPath within limits. Before the file is written its folder is created
// and, when the server announced a length, the free space of that folder is checked against it. A transient
// failure is tried again (FetchWithRetries); a try after a body was cut asks for the rest of it with a range and
// If-Range, and takes a whole body when the server sends one instead. A large body that the server sends in
// ranges, with a validator, is fetched in parts over the connections of limits.site (ranged_download.h), or
// whole when the parts come back as whole bodies. True when the whole body is in the file; otherwise error holds
// the last try's message and no part of the body is left at targetPath. After a success onProgress hears
// (received, received) once more when no length was announced.
bool DownloadToFile(Fetcher& fetcher, const std::wstring& url, const std::wstring& targetPath,
                    const TransferLimits& limits, const DownloadProgress& onProgress, std::wstring& error,
                    const DownloadCancelled& isCancelled);

// The same with a WinHTTP fetcher of its own and the general limits.
bool DownloadToFile(const std::wstring& url, const std::wstring& targetPath, DownloadProgress onProgress,
                    std::wstring& error, DownloadCancelled isCancelled);

// The message for a file of `needed` bytes that does not fit into the free space.
std::wstring DiskSpaceMessage(std::uint64_t needed);
