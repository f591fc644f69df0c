#include "update/file_download.h"

#include "base/paths.h"
#include "base/unique_resource.h"
#include "update/http_download.h"

#include <windows.h>

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

// The storage side of DownloadToFile: the file is made only once the reply is good and is known to fit. It
// stays open between the tries of one download, so a later try can continue it where the last one stopped.
class FileSink final : public FetchSink {
public:
    explicit FileSink(const std::wstring& path) : path_(path) {}

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
        return true;
    }

    bool Write(const char* data, std::size_t size, std::wstring& error) override
    {
        DWORD written = 0;
        if (!WriteFile(file_.get(), data, static_cast<DWORD>(size), &written, nullptr) || written != size) {
            const DWORD code = GetLastError();
            const bool full = code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL;
            error = full ? DiskSpaceMessage(length_.value_or(written_ + size)) : L"文件写入失败";
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
        return ResumePoint{written_, *length_, validator_};
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
    UniqueFile file_;
    bool opened_ = false;
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
    FileSink sink(targetPath);
    std::uint64_t received = 0;
    const auto count = [&](std::uint64_t bytes, std::uint64_t total) {
        received = bytes;
        if (onProgress)
            onProgress(bytes, total);
    };
    if (FetchWithRetries(fetcher, url, sink, limits, count, isCancelled, error) != FetchOutcome::kDone ||
        !sink.Close(error)) {
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
