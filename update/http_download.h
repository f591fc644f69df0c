#pragma once

#include "update/download_url.h"
#include "update/fetcher.h"
#include "update/file_download.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// The real fetcher: WinHTTP, driven asynchronously so that the calling thread only ever waits in short slices
// and sees a cancel or a stalled server while a read is pending. One session and one connection handle per
// server serve every fetch of the object, so kept-alive sockets are used again; several threads may fetch at once.
// A redirect is followed for the one fetch it answers, up to ten in a row, never from HTTPS to HTTP; a body in a
// content coding that was not asked for is refused.
class WinHttpFetcher final : public Fetcher {
public:
    WinHttpFetcher();
    WinHttpFetcher(const WinHttpFetcher&) = delete;
    WinHttpFetcher& operator=(const WinHttpFetcher&) = delete;
    ~WinHttpFetcher() override;

    FetchResult Fetch(const std::wstring& url, FetchSink& sink, const TransferLimits& limits,
                      const DownloadProgress& onProgress, const DownloadCancelled& isCancelled) override;

private:
    struct Session;
    std::unique_ptr<Session> session_;  // its WinHTTP handles are opened at the first fetch
};

// DownloadToFile (file_download.h) with a WinHTTP fetcher of its own, the general limits and the room of the
// target's disk.
vorn::Status DownloadToFile(const std::wstring& url, const std::wstring& targetPath, DownloadProgress onProgress,
                            DownloadCancelled isCancelled);
