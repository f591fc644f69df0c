#include "update/update_transaction.h"

#include "base/unique_resource.h"
#include "update/crc32.h"
#include "update/download_board.h"
#include "update/file_download.h"
#include "update/http_download.h"
#include "update/install_staged_file.h"
#include "update/manifest.h"
#include "update/path_rules.h"
#include "update/signed_update.h"
#include "update/site_connections.h"
#include "update/staging_directory.h"

#include <windows.h>

#include <algorithm>
#include <deque>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace vorn {

namespace {

constexpr wchar_t kGeneralFailureMessage[] = L"更新失败。请检查客户端目录写入权限及文件路径。";

enum Stage : std::int32_t { kReading = 0, kChecking = 1, kDownloading = 2, kVerifying = 3, kInstalling = 4, kDone = 5 };

// The percent of one transfer, reported only when its integer value changes.
std::int32_t FilePercent(std::uint64_t received, std::uint64_t total)
{
    if (total == 0)
        return 0;
    const double percent = static_cast<double>(received) * 100.0 / static_cast<double>(total);
    return static_cast<std::int32_t>(std::min(percent, 100.0));
}

constexpr wchar_t kStagingPrefix[] = L".vorn-update-";

// How often a signed release's record and manifest are asked for again when they do not match.
constexpr std::uint32_t kPairRetries = 2;

// Which file a path names, whatever its spelling (letter case, 8.3 alias): the volume and the file's index on it.
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The identity of an existing file or folder; none when it does not exist or cannot be opened. A link is not
// followed: the update refuses links under the root anyway.
std::optional<FileIdentity> IdentityOf(const std::wstring& path)
{
    const UniqueFile file(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!file || !GetFileInformationByHandle(file.get(), &information))
        return std::nullopt;
    return FileIdentity{information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
}

// Two paths that name the same file: equal text ignoring case, or, for a file that exists, the same identity.
bool SameFile(const std::wstring& path, const std::wstring& other, const std::optional<FileIdentity>& otherIdentity)
{
    if (_wcsicmp(path.c_str(), other.c_str()) == 0)
        return true;
    return otherIdentity && IdentityOf(path) == otherIdentity;
}

// The system makes up 8.3 aliases with a "~"; a path without one can reach another name only through letter case.
bool MayHoldAlias(const std::wstring& relativePath)
{
    return relativePath.find(L'~') != std::wstring::npos;
}

// A file counts as current only when it could be read to its end and its checksum text matches exactly.
bool MatchesChecksum(const std::wstring& path, const std::wstring& expectedHex)
{
    bool ok = false;
    const std::uint32_t crc = FileCrc32(path, &ok);
    return ok && FormatCrc32(crc) == expectedHex;
}

class Transaction {
public:
    Transaction(Fetcher& fetcher, const std::wstring& baseUrl, UpdateStatusCallback& onStatus,
                UpdatePercentCallback& onPercent, UpdateCancelQuery& isCancelled, UpdateProgressCallback& onProgress,
                std::uint32_t connections, std::wstring_view updatePublicKey, std::uint64_t minimumRelease,
                std::uint64_t maxUnknownLength, UpdateResult& result)
        : fetcher_(fetcher), baseUrl_(baseUrl), onStatus_(onStatus), onPercent_(onPercent),
          isCancelled_(isCancelled), onProgress_(onProgress), connections_(std::max<std::uint32_t>(connections, 1)),
          maxUnknownLength_(maxUnknownLength), site_(connections_),
          release_(std::wstring(updatePublicKey), minimumRelease),
          result_(result)
    {
    }

    void Run(const std::wstring& manifestName, const std::wstring& clientRoot, const std::wstring& launcherPath)
    {
        Report(kReading, 0, 0, 0, 0, L"");
        root_ = AbsoluteNormalPath(clientRoot);
        const StagingDirectoryGuard staging(CreateStagingDirectory(root_));
        staging_ = staging.path();
        room_ = std::make_unique<DiskRoom>(FreeSpaceOf(staging_));
        if (!FetchManifest(manifestName))
            return;
        launcher_ = AbsoluteNormalPath(launcherPath);
        launcherIdentity_ = IdentityOf(launcher_);
        if (!ValidateEntries())
            return;
        if (!CheckAndDownloadFiles() || !InstallFiles())
            return;
        release_.RecordInstalled(root_);
        result_.succeeded = true;
        result_.message = result_.filesUpdated == 0
                              ? L"客户端已是最新版本。"
                              : L"更新完成，共更新 " + std::to_wstring(result_.filesUpdated) + L" 个文件。";
        const auto n = static_cast<std::uint32_t>(pending_.size());
        Report(kDone, n, n, 100, 100, L"");
    }

private:
    bool Cancelled() const { return isCancelled_ && isCancelled_(); }

    bool Stop(std::wstring message)
    {
        result_.message = std::move(message);
        return false;
    }

    void Report(std::int32_t stage, std::uint32_t current, std::uint32_t total, std::int32_t filePercent,
                std::uint32_t overallPercent, const std::wstring& file) const
    {
        ReportProgress(onPercent_, onProgress_, stage, current, total, filePercent,
                       static_cast<std::int32_t>(overallPercent), file);
    }

    // Every local path is checked before any client file is looked at, so a link under the root stops the
    // update before anything is downloaded. Nothing changes the tree between this pass and the check pass, so
    // the check pass uses the paths found here; the install pass asks the disk afresh. An entry must not reach
    // the launcher's ".new" file (the self-update would start it) or a staging folder (this one holds the
    // downloads being verified).
    bool ValidateEntries()
    {
        const std::wstring launcherNew = launcher_ + L".new";
        const std::optional<FileIdentity> newIdentity = IdentityOf(launcherNew);
        const std::optional<FileIdentity> stagingIdentity = IdentityOf(staging_);
        UnderRootResolver resolver(root_);
        targets_.reserve(entries_.size());
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            const std::wstring& local = entries_[i].localPath;
            targets_.push_back(resolver.Resolve(local));
            const std::wstring top = local.substr(0, local.find(L'\\'));
            const bool aliased = MayHoldAlias(local);
            const bool refused =
                _wcsnicmp(top.c_str(), kStagingPrefix, wcslen(kStagingPrefix)) == 0 ||
                _wcsicmp(targets_.back().c_str(), launcherNew.c_str()) == 0 ||
                (aliased && newIdentity && IdentityOf(targets_.back()) == newIdentity) ||
                (aliased && stagingIdentity && IdentityOf(ResolveUnderRoot(root_, top)) == stagingIdentity);
            if (refused)
                return Stop(EntryMessage(i + 1));
        }
        return true;
    }

    // With a key the record is fetched first, then the manifest it must sign. A publish that falls between the
    // two hands the launcher one release's record and the next one's manifest: the pair is asked for again, up to
    // kPairRetries times, before a mismatch is reported as such. A publish takes one step, so a second pair is
    // whole unless the site is really wrong.
    bool FetchManifest(const std::wstring& manifestName)
    {
        std::wstring name = manifestName;
        if (!IsSafeRelativePath(name))
            return Stop(L"更新清单文件名无效。");
        const std::wstring url = BuildDownloadUrl(baseUrl_, name);
        const std::wstring localManifest = (std::filesystem::path(staging_) / L"manifest.ini").wstring();
        std::wstring error;
        for (std::uint32_t pair = 0;; ++pair) {
            if (!release_.FetchRecord(fetcher_, BuildDownloadUrl(baseUrl_, name + L".sig"), isCancelled_, error))
                return Stop(error);
            if (!DownloadToFile(fetcher_, url, localManifest, ManifestLimits(), *room_, {}, error, isCancelled_))
                return Stop(L"更新清单下载失败：" + url + L"\n" + error);
            const ReleaseVerdict verdict = release_.AdmitRecord(localManifest, root_, error);
            if (verdict == ReleaseVerdict::kAdmitted)
                break;
            if (verdict == ReleaseVerdict::kRefused || pair == kPairRetries)
                return Stop(error);
        }
        if (!ParseManifest(localManifest, entries_, error))
            return Stop(error);
        if (!release_.MatchEntries(entries_, error))
            return Stop(error);
        return true;
    }

    // The check pass and the downloads overlap: this thread checks the files in the manifest's order and hands
    // each one found out of date at once to up to connections_ download threads, which take them in that order,
    // download them into the staging folder and verify them. Their reports wait until every file is checked, so
    // the label shows one pass after the other, counting the files to download. A failed download ends the check
    // pass; a cancel ends it at the next file.
    bool CheckAndDownloadFiles()
    {
        DownloadBoard board;
        std::vector<std::thread> threads;
        // Whatever way this thread leaves, the download threads are stopped and joined first.
        const auto stopAll = [&](DownloadBoard* b) {
            b->Stop();
            for (std::thread& thread : threads)
                thread.join();
        };
        const std::unique_ptr<DownloadBoard, decltype(stopAll)> joiner(&board, stopAll);
        const auto count = static_cast<std::uint32_t>(entries_.size());
        for (std::uint32_t i = 0; i < count && !board.Stopped(); ++i) {
            if (Cancelled())
                return Stop(kCancelledMessage);
            const ManifestEntry& entry = entries_[i];
            Report(kChecking, i + 1, count, 0, 0, entry.localPath);
            const std::wstring& target = targets_[i];
            if (MatchesChecksum(target, entry.crc32Hex))
                continue;
            PendingFile file;
            file.stagedPath = (std::filesystem::path(staging_) / std::to_wstring(i)).wstring();
            file.targetPath = target;
            file.isLauncher = SameFile(target, launcher_, launcherIdentity_);
            file.entryIndex = i;
            if (board.Add(std::move(file)) <= connections_) {
                board.Joined();
                threads.emplace_back([this, &board] { DownloadThread(board); });
            }
        }
        board.Finish();
        if (!ReportDownloads(board))
            return false;
        pending_ = board.TakeFiles();
        return true;
    }

    // Hands the download threads' events to the callbacks and asks about a cancel at least every kCancelPoll. A
    // file is counted as it is verified; the overall percent is the share of the files' percents. Meanwhile the
    // verified files are written to the disk one by one, so the install pass only has to move them.
    bool ReportDownloads(DownloadBoard& board)
    {
        const std::uint32_t n = board.Count();
        std::uint32_t verified = 0;
        std::map<std::uint32_t, std::int32_t> running;  // file -> its percent
        std::deque<std::uint32_t> unflushed;            // verified files whose data may not be on the disk yet
        std::optional<std::wstring> failure;
        bool cancelled = false;
        const auto overall = [&] {
            std::uint32_t sum = verified * 100;
            for (const auto& [file, percent] : running)
                sum += static_cast<std::uint32_t>(percent);
            return sum * 90 / (n * 100);
        };
        for (bool ended = n == 0; !ended;) {
            const auto wait = unflushed.empty() ? kCancelPoll : std::chrono::milliseconds(0);
            std::deque<DownloadEvent> events = board.Collect(wait, ended);
            for (const DownloadEvent& event : events) {
                if (failure)
                    break;
                const std::wstring& local = entries_[board.File(event.file).entryIndex].localPath;
                switch (event.kind) {
                case DownloadEvent::Kind::kStarted:
                    running[event.file] = 0;
                    if (onStatus_)
                        onStatus_(L"正在更新：" + local + L"...");
                    Report(kDownloading, std::min(verified + 1, n), n, 0, overall(), local);
                    break;
                case DownloadEvent::Kind::kProgress:
                    running[event.file] = event.percent;
                    Report(kDownloading, std::min(verified + 1, n), n, event.percent, overall(), local);
                    break;
                case DownloadEvent::Kind::kVerified:
                    running.erase(event.file);
                    ++verified;
                    unflushed.push_back(event.file);
                    Report(kVerifying, verified, n, 100, overall(), local);
                    break;
                case DownloadEvent::Kind::kFailed:
                    failure = event.message;
                    break;
                }
            }
            // A transfer that the cancel stops fails with its own message, which names the file.
            if (!failure && !cancelled && Cancelled()) {
                cancelled = true;
                board.Stop();
            }
            if (!failure && !cancelled && !unflushed.empty()) {
                std::wstring error;
                if (!Flush(board.File(unflushed.front()), error)) {
                    failure = error;
                    board.Stop();
                }
                unflushed.pop_front();
            }
        }
        if (failure)
            return Stop(*failure);
        if (cancelled)
            return Stop(kCancelledMessage);
        for (; !unflushed.empty(); unflushed.pop_front()) {
            if (Cancelled())
                return Stop(kCancelledMessage);
            std::wstring error;
            if (!Flush(board.File(unflushed.front()), error))
                return Stop(error);
        }
        return true;
    }

    // The file the install pass puts a staged file in place of: the launcher's goes beside the running one.
    std::wstring InstallTarget(const PendingFile& file) const
    {
        return file.isLauncher ? launcher_ + L".new" : file.targetPath;
    }

    bool Flush(const PendingFile& file, std::wstring& error) const
    {
        return FlushStagedFile(file.stagedPath, InstallTarget(file), error);
    }

    void DownloadThread(DownloadBoard& board)
    {
        while (const std::optional<DownloadBoard::Taken> taken = board.Take()) {
            board.Post({DownloadEvent::Kind::kStarted, taken->index, 0, {}});
            std::wstring message;
            bool ok = false;
            try {
                ok = DownloadAndVerify(board, taken->index, *taken->file, message);
            } catch (const std::exception&) {
                message = kGeneralFailureMessage;
            }
            const auto kind = ok ? DownloadEvent::Kind::kVerified : DownloadEvent::Kind::kFailed;
            board.Post({kind, taken->index, 100, message});
        }
        board.Left();
    }

    // Runs on a download thread: only the board, the fetcher and the file's own staging path are touched.
    bool DownloadAndVerify(DownloadBoard& board, std::uint32_t index, const PendingFile& file, std::wstring& message)
    {
        const ManifestEntry& entry = entries_[file.entryIndex];
        std::int32_t lastPercent = -1;
        const auto adapter = [&](std::uint64_t received, std::uint64_t total) {
            const std::int32_t percent = FilePercent(received, total);
            if (percent == lastPercent)
                return;
            lastPercent = percent;
            board.Post({DownloadEvent::Kind::kProgress, index, percent, {}});
        };
        const DownloadCancelled stopped = [&board] { return board.Stopped(); };
        const std::wstring url = BuildDownloadUrl(baseUrl_, entry.remotePath);
        std::wstring error;
        TransferLimits limits = release_.DownloadLimits(file.entryIndex);
        limits.unknownLengthCap = maxUnknownLength_;
        limits.site = &site_;
        if (!DownloadToFile(fetcher_, url, file.stagedPath, limits, *room_, adapter, error, stopped)) {
            message = L"文件下载失败：" + entry.remotePath + L"\n" + error;
            return false;
        }
        if (IsGoodStagedFile(file, entry, message))
            return true;
        // A cache on the way may have kept an older copy: the site itself has the last word.
        TransferLimits fresh = limits;
        fresh.bypassCaches = true;
        if (!DownloadToFile(fetcher_, url, file.stagedPath, fresh, *room_, {}, error, stopped)) {
            message = L"文件下载失败：" + entry.remotePath + L"\n" + error;
            return false;
        }
        return IsGoodStagedFile(file, entry, message);
    }

    // Whether a staged file is the one the manifest lists and, with a key, the one the release signs; otherwise
    // message says which check it failed. Runs on a download thread.
    bool IsGoodStagedFile(const PendingFile& file, const ManifestEntry& entry, std::wstring& message)
    {
        const StagedFileSums sums = release_.SumStaged(file.stagedPath);
        if (!release_.IsSigned(file.entryIndex, sums, message))
            return false;
        if (sums.read && FormatCrc32(sums.crc32) == entry.crc32Hex)
            return true;
        message = L"文件 CRC32 校验失败：" + entry.remotePath + L"。请重新生成并上传更新包。";
        return false;
    }

    // All or nothing: every target is checked before the first move, and a failure or a cancel between two moves
    // puts back every file moved so far, so the client is wholly the old release or wholly the new one. The
    // release number is kept only after the last move (Run).
    bool InstallFiles()
    {
        // The running executable is replaced only after every other file is in place.
        std::stable_sort(pending_.begin(), pending_.end(),
                         [](const PendingFile& a, const PendingFile& b) { return !a.isLauncher && b.isLauncher; });
        if (Cancelled())
            return Stop(kCancelledMessage);
        std::vector<StagedMove> moves;
        std::vector<std::wstring> relatives;
        for (const PendingFile& file : pending_) {
            relatives.push_back(RelativeToRoot(file.targetPath, root_));
            // The new launcher goes beside the running one under the name the self-update looks for, whatever
            // spelling the manifest used for it; other paths are checked against the disk once more now.
            moves.push_back({file.stagedPath,
                             file.isLauncher ? InstallTarget(file) : ResolveUnderRoot(root_, relatives.back())});
        }
        InstallPass pass(std::move(moves), staging_);
        std::wstring error;
        if (!pass.CheckReplaceable(error))
            return Stop(error);
        const auto n = static_cast<std::uint32_t>(pending_.size());
        for (std::uint32_t k = 0; k < n; ++k) {
            if (Cancelled())
                return Stop(kCancelledMessage);
            Report(kInstalling, k + 1, n, 100, 90 + k * 9 / n, relatives[k]);
            if (!pass.Move(k, error))
                return Stop(error);
        }
        pass.Commit();
        result_.filesUpdated = static_cast<std::int32_t>(n);
        result_.restartRequired = std::any_of(pending_.begin(), pending_.end(),
                                              [](const PendingFile& file) { return file.isLauncher; });
        return true;
    }

    Fetcher& fetcher_;
    const std::wstring& baseUrl_;
    UpdateStatusCallback& onStatus_;
    UpdatePercentCallback& onPercent_;
    UpdateCancelQuery& isCancelled_;
    UpdateProgressCallback& onProgress_;
    const std::uint32_t connections_;
    const std::uint64_t maxUnknownLength_;
    // How many downloads run at once: at first connections_, fewer once the site says it is busy.
    SiteConnections site_;
    SignedUpdate release_;
    UpdateResult& result_;
    std::wstring root_;
    std::wstring staging_;
    std::unique_ptr<DiskRoom> room_;  // of the disk of the staging folder, shared by every download
    std::wstring launcher_;
    std::optional<FileIdentity> launcherIdentity_;
    std::vector<ManifestEntry> entries_;
    std::vector<std::wstring> targets_;  // entry i resolved under the root
    std::vector<PendingFile> pending_;
};

}

void ReportProgress(const UpdatePercentCallback& onPercent, const UpdateProgressCallback& onProgress,
                    std::int32_t stage, std::uint32_t current, std::uint32_t total, std::int32_t filePercent,
                    std::int32_t overallPercent, const std::wstring& file)
{
    if (onPercent)
        onPercent(overallPercent);
    if (onProgress)
        onProgress(UpdateProgress{stage, current, total, filePercent, overallPercent, file});
}

std::wstring AbsoluteNormalPath(const std::wstring& path)
{
    const std::wstring full = FullPathOf(path);
    std::filesystem::path normal = std::filesystem::path(full).lexically_normal();
    // "C:\game\" names the same folder as "C:\game"; only a drive root keeps its separator.
    if (!normal.has_filename() && normal.has_relative_path())
        normal = normal.parent_path();
    return normal.wstring();
}

std::wstring RelativeToRoot(const std::wstring& target, const std::wstring& root)
{
    return std::filesystem::path(target).lexically_relative(root).wstring();
}

UpdateResult ApplyClientUpdate(Fetcher& fetcher, const std::wstring& baseUrl, const std::wstring& manifestName,
                               const std::wstring& clientRoot, const std::wstring& launcherPath,
                               UpdateStatusCallback onStatus, UpdatePercentCallback onPercent,
                               UpdateCancelQuery isCancelled, UpdateProgressCallback onProgress,
                               std::uint32_t connections, std::wstring_view updatePublicKey,
                               std::uint64_t minimumRelease, std::uint64_t maxUnknownLength)
{
    UpdateResult result;
    try {
        Transaction(fetcher, baseUrl, onStatus, onPercent, isCancelled, onProgress, connections, updatePublicKey,
                    minimumRelease, maxUnknownLength, result)
            .Run(manifestName, clientRoot, launcherPath);
    } catch (const std::exception&) {
        result.succeeded = false;
        result.message = kGeneralFailureMessage;
    }
    return result;
}

UpdateResult ApplyClientUpdate(const std::wstring& baseUrl, const std::wstring& manifestName,
                               const std::wstring& clientRoot, const std::wstring& launcherPath,
                               UpdateStatusCallback onStatus, UpdatePercentCallback onPercent,
                               UpdateCancelQuery isCancelled, UpdateProgressCallback onProgress,
                               std::wstring_view updatePublicKey, std::uint64_t minimumRelease,
                               std::uint64_t maxUnknownLength)
{
    WinHttpFetcher fetcher;
    return ApplyClientUpdate(fetcher, baseUrl, manifestName, clientRoot, launcherPath, std::move(onStatus),
                             std::move(onPercent), std::move(isCancelled), std::move(onProgress),
                             Config().downloadConnections, updatePublicKey, minimumRelease, maxUnknownLength);
}

}
