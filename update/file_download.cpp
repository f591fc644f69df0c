#include "update/file_download.h"

#include "base/paths.h"
#include "base/unique_resource.h"
#include "update/http_download.h"
#include "update/ranged_download.h"
#include "update/site_connections.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <filesystem>

namespace {

// A body this large is checked against the free space before its file is made, so a player with a full disk
// hears so at once rather than after the download. A smaller one is written in less time than the question
// takes (about half a millisecond per file under Wine, paid by every file of a patch); a disk that fills anyway
// fails its write, which gives the same message.
constexpr std::uint64_t kRoomCheckBytes = 1u << 20;

// Whether the folder of targetPath has room for `bytes` more; true when the system cannot tell.
bool HasRoomFor(const std::wstring& targetPath, std::uint64_t bytes)
{
    std::wstring folder = std::filesystem::path(targetPath).parent_path().wstring();
    if (folder.empty())
        folder = L".";
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr))
        return true;
    return available.QuadPart >= bytes;
}

// What a failed write tells the player: a full disk names the space the file needs.
std::wstring WriteFailure(DWORD code, std::uint64_t needed)
{
    const bool full = code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL;
    return full ? DiskSpaceMessage(needed) : L"文件写入失败";
}

// The storage side of DownloadToFile: the file is made only once the reply is good and is known to fit. It
// stays open between the tries of one download, so a later try can continue it where the last one stopped.
class FileSink final : public FetchSink {
public:
    FileSink(const std::wstring& path, const SiteConnections& site) : path_(path), site_(site) {}

    bool Open(const FetchReply& reply, std::wstring& error) override
    {
        if (reply.offset == 0 && !Start(error))
            return false;
        const std::uint64_t coming = reply.length ? *reply.length - std::min(*reply.length, written_) : 0;
        if (coming >= kRoomCheckBytes && !HasRoomFor(path_, coming)) {
            error = DiskSpaceMessage(*reply.length);
            return false;
        }
        if (!file_ && !Create(error))
            return false;
        length_ = reply.length;
        validator_ = reply.validator;
        // A large body that the server sends in ranges comes in parts over the site's connections (FetchInParts)
        // rather than from this reply, which ends before its first byte.
        if (reply.offset == 0 && reply.length && reply.byteRanges && !reply.validator.empty() && !whole_ &&
            FetchesInParts(*reply.length, site_.Count(), site_.Parts())) {
            inParts_ = true;
            error = L"文件较大，改为分段下载";
            return false;
        }
        return true;
    }

    // Whether the last reply was left for a fetch in parts, of Length() bytes with Validator() as If-Range.
    bool InParts() const { return inParts_; }
    // From now on every body is taken whole.
    void TakeWhole() { whole_ = true; }
    std::uint64_t Length() const { return length_.value_or(0); }
    const std::wstring& Validator() const { return validator_; }

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
    bool WriteAt(std::uint64_t offset, const char* data, std::size_t size, std::wstring& error)
    {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD written = 0;
        if (!WriteFile(file_.get(), data, static_cast<DWORD>(size), &written, &at) || written != size) {
            error = WriteFailure(GetLastError(), Length());
            return false;
        }
        return true;
    }

    bool Write(const char* data, std::size_t size, std::wstring& error) override
    {
        DWORD written = 0;
        if (!WriteFile(file_.get(), data, static_cast<DWORD>(size), &written, nullptr) || written != size) {
            error = WriteFailure(GetLastError(), length_.value_or(written_ + size));
            return false;
        }
        written_ += size;
        return true;
    }

    // The bytes written so far, when the server gave their length and a validator a range request can carry.
    std::optional<ResumePoint> Resume() const override
    {
        if (!file_ || !length_ || validator_.empty() || written_ == 0 || written_ >= *length_)
            return std::nullopt;
        return ResumePoint{written_, *length_, validator_, std::nullopt};
    }

    void Forget() override
    {
        length_.reset();
        validator_.clear();
    }

    bool Close(std::wstring& error)
    {
        if (file_ && !CloseHandle(file_.release())) {
            error = L"文件写入或关闭失败";
            return false;
        }
        return true;
    }

    // Closes the file first and then deletes it: no partial body stays behind.
    void Discard()
    {
        file_.reset();
        if (opened_)
            DeleteFileW(path_.c_str());
    }

private:
    // A whole body follows: the folder is made, and what an earlier try wrote is dropped.
    bool Start(std::wstring& error)
    {
        written_ = 0;
        inParts_ = false;
        Forget();
        if (file_) {
            if (!SetFilePointerEx(file_.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN) || !SetEndOfFile(file_.get())) {
                error = L"文件写入失败";
                return false;
            }
            return true;
        }
        if (!EnsureParentFolder(path_)) {
            error = L"无法创建目标目录";
            return false;
        }
        return true;
    }

    bool Create(std::wstring& error)
    {
        file_.reset(CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file_) {
            error = L"无法打开目标文件";
            return false;
        }
        opened_ = true;
        return true;
    }

    std::wstring path_;
    const SiteConnections& site_;
    UniqueFile file_;
    bool opened_ = false;
    bool inParts_ = false;
    bool whole_ = false;
    std::uint64_t written_ = 0;
    std::optional<std::uint64_t> length_;  // of the whole body, as the last reply announced it
    std::wstring validator_;               // of the last reply
};

}

std::wstring DiskSpaceMessage(std::uint64_t needed)
{
    std::wstring size = std::to_wstring(needed) + L" 字节";
    if (needed >= (1u << 20))
        size += L"（约 " + std::to_wstring((needed + (1u << 20) - 1) >> 20) + L" MiB）";
    return L"磁盘空间不足：此文件需要 " + size + L"的可用空间。请清理磁盘后重试。";
}

bool DownloadToFile(Fetcher& fetcher, const std::wstring& url, const std::wstring& targetPath,
                    const TransferLimits& limits, const DownloadProgress& onProgress, std::wstring& error,
                    const DownloadCancelled& isCancelled)
{
    SiteConnections alone(1);
    TransferLimits shared = limits;
    if (!shared.site)
        shared.site = &alone;
    FileSink sink(targetPath, *shared.site);
    std::uint64_t received = 0;
    const auto count = [&](std::uint64_t bytes, std::uint64_t total) {
        received = bytes;
        if (onProgress)
            onProgress(bytes, total);
    };
    FetchOutcome outcome = FetchWithRetries(fetcher, url, sink, shared, count, isCancelled, error);
    if (outcome == FetchOutcome::kStorage && sink.InParts()) {
        const WriteAt write = [&sink](std::uint64_t offset, const char* data, std::size_t size, std::wstring& e) {
            return sink.WriteAt(offset, data, size, e);
        };
        sink.PrepareParts();
        outcome = FetchInParts(fetcher, url, sink.Length(), sink.Validator(), shared, write, count, isCancelled,
                               error);
        // A site that does not keep to its validator across requests (servers behind one address that make
        // their ETags differently, say) sends whole bodies instead: then it gets one request for the whole.
        if (outcome == FetchOutcome::kUnusableRange) {
            sink.TakeWhole();
            outcome = FetchWithRetries(fetcher, url, sink, shared, count, isCancelled, error);
        }
    }
    if (outcome != FetchOutcome::kDone || !sink.Close(error)) {
        sink.Discard();
        return false;
    }
    if (onProgress)
        onProgress(received, received);
    return true;
}

bool DownloadToFile(const std::wstring& url, const std::wstring& targetPath, DownloadProgress onProgress,
                    std::wstring& error, DownloadCancelled isCancelled)
{
    WinHttpFetcher fetcher;
    return DownloadToFile(fetcher, url, targetPath, TransferLimits{}, onProgress, error, isCancelled);
}
