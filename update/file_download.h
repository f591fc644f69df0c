#pragma once

// The storage side of a download: a fetched body written into a file, within the free space of its disk.

#include "update/fetcher.h"
#include "update/result.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

// Free space no download may take. The system and the game write to the same disk while the launcher runs (the
// page file, system updates, the game's logs and screenshots): an update, even one from a site that never ends
// a body, leaves them at least this much.
inline constexpr std::uint64_t kFreeSpaceReserve = 256ull << 20;

// The free space of one disk that downloads may still take: what the system reports less a reserve, less what
// was taken since it was asked. Every chunk is taken before it is written, so no download eats into the reserve.
// The downloads of one update share one room: the system is asked at the first take, when the room runs out and
// after every 64 MiB taken (other programs write too), about half a millisecond each time under Wine, rather than
// for every file of a patch of thousands.
class DiskRoom {
public:
    // The free bytes of the disk now; none when the system cannot tell, which lets every download through.
    using Look = std::function<std::optional<std::uint64_t>()>;

    explicit DiskRoom(Look look, std::uint64_t reserve = kFreeSpaceReserve);
    DiskRoom(const DiskRoom&) = delete;
    DiskRoom& operator=(const DiskRoom&) = delete;

    // Whether `bytes` more fit above the reserve, asking the system afresh when the room seems too small.
    bool Fits(std::uint64_t bytes);
    // The same, and the bytes are taken when they fit.
    bool Take(std::uint64_t bytes);
    std::uint64_t Reserve() const { return reserve_; }

private:
    bool FitsLocked(std::uint64_t bytes);

    Look look_;
    const std::uint64_t reserve_;
    std::mutex lock_;
    std::optional<std::uint64_t> left_;  // above the reserve; none before the first look
    std::uint64_t takenSinceLook_ = 0;
};

// The free space of the disk that holds folder, as the system reports it.
DiskRoom::Look FreeSpaceOf(std::wstring folder);

// GET of url through fetcher into targetPath within limits and the room of its disk. Before the file is written
// its folder is created and, when the server announced a length, that length is checked against the room (for a
// body in parts, the whole length once); every chunk, of a part too, takes its bytes from the room. A
// transient failure is tried again (FetchWithRetries); a try after a body was cut asks for the rest of it with a
// range and If-Range, and takes a whole body when the server sends one instead. A large body that the server
// sends in ranges, with a validator, is fetched in parts over the connections of limits.site (ranged_download.h),
// or whole when the parts come back as whole bodies. Done when the whole body is in the file; otherwise the
// failure holds the last try's message and no part of the body is left at targetPath. After a success
// onProgress hears (received, received) once more when no length was announced.
vorn::Status DownloadToFile(Fetcher& fetcher, const std::wstring& url, const std::wstring& targetPath,
                            const TransferLimits& limits, DiskRoom& room, const DownloadProgress& onProgress,
                            const DownloadCancelled& isCancelled);

// The message for a file of `needed` bytes that does not fit into the free space.
std::wstring DiskSpaceMessage(std::uint64_t needed);

// The message for a download that would eat into the reserve of `reserve` bytes: a file of `needed` bytes, or,
// without a length, one that has taken the room there was.
std::wstring DiskReserveMessage(std::optional<std::uint64_t> needed, std::uint64_t reserve);
