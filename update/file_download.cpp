#include "update/file_download.h"

#include "base/paths.h"
#include "base/unique_resource.h"
#include "update/ranged_download.h"
#include "update/site_connections.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <limits>
#include <utility>

namespace {

// Other programs write to the disk too: after this much taken the room is looked at again.
constexpr std::uint64_t kRoomLookBytes = 64ull << 20;

// The storage side of DownloadToFile: the file is made only once the reply is good and is known to fit. It
// stays open between the tries of one download, so a later try can continue it where the last one stopped.
class FileSink final : public FetchSink {
public:
    FileSink(const std::wstring& path, DiskRoom& room, const SiteConnections& site)
        : path_(path), room_(room), site_(site)
    {
    }

    vorn::Status Open(const FetchReply& reply) override
    {
        if (reply.offset == 0) {
            if (vorn::Status started = Start(); !started)
                return started;
        }
        const std::uint64_t held = held_.Bytes();
        if (reply.length && !room_.Fits(*reply.length - std::min(*reply.length, held)))
            return vorn::Failure{DiskReserveMessage(reply.length, room_.Reserve())};
        if (!file_) {
            if (vorn::Status created = Create(); !created)
                return created;
        }
        held_.Open(reply);
        // A large body that the server sends in ranges comes in parts over the site's connections (FetchInParts)
        // rather than from this reply, which ends before its first byte. The room above was the whole body's.
        if (reply.offset == 0 && reply.length && reply.byteRanges && !reply.validator.empty() && !whole_ &&
            FetchesInParts(*reply.length, site_.Count(), site_.Parts())) {
            inParts_ = true;
            return vorn::Failure{L"文件较大，改为分段下载"};
        }
        return {};
    }

    // Whether the last reply was left for a fetch in parts, of Length() bytes with Validator() as If-Range.
    bool InParts() const { return inParts_; }
    // From now on every body is taken whole.
    void TakeWhole() { whole_ = true; }
    std::uint64_t Length() const { return held_.Length().value_or(0); }
    const std::wstring& Validator() const { return held_.Validator(); }

    // The parts of a large body are written at their offsets as they come. On NTFS a write past the data written
    // so far first fills the gap with zeros, which would hold that part's transfer for as long as a disk takes to
    // write gigabytes; a sparse file leaves the gap to the writes that fill it. Where the file system has no
    // sparse files, the writes go on as they are.
    void PrepareParts()
    {
        DWORD returned = 0;
        DeviceIoControl(file_.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    }

    // Writes a piece of a body fetched in parts in place; called from several threads at once.
    vorn::Status WriteAt(std::uint64_t offset, const char* data, std::size_t size)
    {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        return Put(data, size, &at);
    }

    vorn::Status Write(const char* data, std::size_t size) override
    {
        if (vorn::Status put = Put(data, size, nullptr); !put)
            return put;
        held_.Add(size);
        return {};
    }

    std::optional<ResumePoint> Resume() const override
    {
        return file_ ? held_.Resume() : std::nullopt;
    }

    void Forget() override { held_.Forget(); }

    vorn::Status Close()
    {
        if (file_ && !CloseHandle(file_.release()))
            return vorn::Failure{L"文件写入或关闭失败"};
        return {};
    }

    // Closes the file first and then deletes it: no partial body stays behind.
    void Discard()
    {
        file_.reset();
        if (opened_)
            DeleteFileW(path_.c_str());
    }

private:
    // Takes the room of a chunk and writes it, at `at` or else where the last write ended.
    vorn::Status Put(const char* data, std::size_t size, OVERLAPPED* at)
    {
        if (!room_.Take(size))
            return vorn::Failure{DiskReserveMessage(held_.Length(), room_.Reserve())};
        DWORD written = 0;
        if (!WriteFile(file_.get(), data, static_cast<DWORD>(size), &written, at) || written != size) {
            const DWORD code = GetLastError();
            const bool full = code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL;
            return vorn::Failure{full ? DiskSpaceMessage(held_.Length().value_or(held_.Bytes() + size))
                                      : L"文件写入失败"};
        }
        return {};
    }

    // A whole body follows: the folder is made, and what an earlier try wrote is dropped.
    vorn::Status Start()
    {
        held_ = HeldBody{};
        inParts_ = false;
        if (file_) {
            if (!SetFilePointerEx(file_.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN) || !SetEndOfFile(file_.get()))
                return vorn::Failure{L"文件写入失败"};
            return {};
        }
        if (!EnsureParentFolder(path_))
            return vorn::Failure{L"无法创建目标目录"};
        return {};
    }

    vorn::Status Create()
    {
        file_.reset(CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file_)
            return vorn::Failure{L"无法打开目标文件"};
        opened_ = true;
        return {};
    }

    std::wstring path_;
    DiskRoom& room_;
    const SiteConnections& site_;
    UniqueFile file_;
    bool opened_ = false;
    bool inParts_ = false;
    bool whole_ = false;
    HeldBody held_;
};

std::wstring ByteCount(std::uint64_t bytes)
{
    std::wstring size = std::to_wstring(bytes) + L" 字节";
    if (bytes >= (1u << 20))
        size += L"（约 " + std::to_wstring((bytes + (1u << 20) - 1) >> 20) + L" MiB）";
    return size;
}

}

DiskRoom::DiskRoom(Look look, std::uint64_t reserve) : look_(std::move(look)), reserve_(reserve) {}

bool DiskRoom::Fits(std::uint64_t bytes)
{
    const std::lock_guard<std::mutex> held(lock_);
    return FitsLocked(bytes);
}

bool DiskRoom::Take(std::uint64_t bytes)
{
    const std::lock_guard<std::mutex> held(lock_);
    if (!FitsLocked(bytes))
        return false;
    *left_ -= bytes;
    takenSinceLook_ += bytes;
    return true;
}

bool DiskRoom::FitsLocked(std::uint64_t bytes)
{
    if (!left_ || *left_ < bytes || takenSinceLook_ >= kRoomLookBytes) {
        const std::optional<std::uint64_t> free = look_();
        left_ = !free ? std::numeric_limits<std::uint64_t>::max() : *free > reserve_ ? *free - reserve_ : 0;
        takenSinceLook_ = 0;
    }
    return *left_ >= bytes;
}

DiskRoom::Look FreeSpaceOf(std::wstring folder)
{
    if (folder.empty())
        folder = L".";
    return [folder]() -> std::optional<std::uint64_t> {
        ULARGE_INTEGER available{};
        if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr))
            return std::nullopt;
        return available.QuadPart;
    };
}

std::wstring DiskSpaceMessage(std::uint64_t needed)
{
    return L"磁盘空间不足：此文件需要 " + ByteCount(needed) + L"的可用空间。请清理磁盘后重试。";
}

std::wstring DiskReserveMessage(std::optional<std::uint64_t> needed, std::uint64_t reserve)
{
    const std::wstring kept = std::to_wstring(reserve >> 20) + L" MiB";
    if (needed)
        return L"磁盘空间不足：此文件需要 " + ByteCount(*needed) + L"的可用空间，另须为系统留出 " + kept +
               L"。请清理磁盘后重试。";
    return L"磁盘空间不足：下载已用完可用空间，只剩须为系统留出的 " + kept + L"。请清理磁盘后重试。";
}

vorn::Status DownloadToFile(Fetcher& fetcher, const std::wstring& url, const std::wstring& targetPath,
                            const TransferLimits& limits, DiskRoom& room, const DownloadProgress& onProgress,
                            const DownloadCancelled& isCancelled)
{
    SiteConnections alone(1);
    TransferLimits shared = limits;
    if (!shared.site)
        shared.site = &alone;
    FileSink sink(targetPath, room, *shared.site);
    std::uint64_t received = 0;
    const auto count = [&](std::uint64_t bytes, std::uint64_t total) {
        received = bytes;
        if (onProgress)
            onProgress(bytes, total);
    };
    FetchResult fetched = FetchWithRetries(fetcher, url, sink, shared, count, isCancelled);
    if (fetched.outcome == FetchOutcome::kStorage && sink.InParts()) {
        const WriteAt write = [&sink](std::uint64_t offset, const char* data, std::size_t size) {
            return sink.WriteAt(offset, data, size);
        };
        sink.PrepareParts();
        fetched = FetchInParts(fetcher, url, sink.Length(), sink.Validator(), shared, write, count, isCancelled);
        // A site that does not keep to its validator across requests (servers behind one address that make
        // their ETags differently, say) sends whole bodies instead: then it gets one request for the whole.
        if (fetched.outcome == FetchOutcome::kUnusableRange) {
            sink.TakeWhole();
            fetched = FetchWithRetries(fetcher, url, sink, shared, count, isCancelled);
        }
    }
    if (!fetched.done()) {
        sink.Discard();
        return vorn::Failure{fetched.message};
    }
    if (vorn::Status closed = sink.Close(); !closed) {
        sink.Discard();
        return closed;
    }
    if (onProgress)
        onProgress(received, received);
    return {};
}
