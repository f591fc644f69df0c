#include "update/update_transaction.h"

#include "base/unique_resource.h"
#include "update/block_download.h"
#include "update/crc32.h"
#include "update/download_board.h"
#include "update/entry_targets.h"
#include "update/file_download.h"
#include "update/http_download.h"
#include "update/ini_file.h"
#include "update/install_staged_file.h"
#include "update/kept_download.h"
#include "update/manifest.h"
#include "update/path_rules.h"
#include "update/quick_check.h"
#include "update/signed_update.h"
#include "update/site_connections.h"
#include "update/staging_directory.h"
#include "update/verified_record_file.h"

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

// The percent of one transfer, reported only when its integer value changes.
std::int32_t FilePercent(std::uint64_t received, std::uint64_t total)
{
    if (total == 0)
        return 0;
    const double percent = static_cast<double>(received) * 100.0 / static_cast<double>(total);
    return static_cast<std::int32_t>(std::min(percent, 100.0));
}

// How often a signed release's record and manifest are asked for again when they do not match.
constexpr std::uint32_t kPairRetries = 2;

class Transaction {
public:
    Transaction(const UpdateRequest& request, UpdateObserver& observer, Fetcher& fetcher)
        : request_(request), observer_(observer), fetcher_(fetcher),
          connections_(std::max<std::uint32_t>(request.connections, 1)), site_(connections_),
          release_(request.publicKey, request.minimumRelease)
    {
    }

    // The update to its end; on success the result counts the files moved into place.
    Result<UpdateResult> Run()
    {
        Report(UpdateStage::kReadingManifest, 0, 0, 0, 0, L"");
        const Result<std::wstring> root = AbsoluteNormalPath(request_.clientFolder);
        if (!root)
            return root.failure();
        root_ = *root;
        Result<StagingFolder> folder = CreateStagingDirectory(root_);
        if (!folder)
            return folder.failure();
        const StagingDirectoryGuard staging(std::move(*folder));
        staging_ = staging.folder();
        kept_ = KeptFolder(root_);
        PruneKeptDownloads(root_);
        // The kept folder stays only while it holds something for a later attempt.
        const ScopeExit keptLeft([this] { RemoveDirectoryW(kept_.c_str()); });
        room_ = std::make_unique<DiskRoom>(FreeSpaceOf(staging_));
        if (const Status fetched = FetchManifest(); !fetched)
            return fetched.failure();
        const Result<std::wstring> launcher = AbsoluteNormalPath(request_.launcherPath);
        if (!launcher)
            return launcher.failure();
        launcher_ = *launcher;
        launcherIdentity_ = IdentityOf(launcher_);
        Result<std::vector<std::wstring>> targets =
            ResolveEntryTargets(root_, entries_, {StagedLauncherPath(launcher_), staging_, kept_});
        if (!targets)
            return targets.failure();
        targets_ = std::move(*targets);
        if (const Status downloaded = CheckAndDownloadFiles(); !downloaded)
            return downloaded.failure();
        const Result<UpdateResult> installed = InstallFiles();
        if (!installed)
            return installed;
        release_.RecordInstalled(root_);
        quick_->Save(!pending_.empty());
        const auto n = static_cast<std::uint32_t>(pending_.size());
        Report(UpdateStage::kFinished, n, n, 100, 100, L"");
        return installed;
    }

private:
    bool Cancelled() const { return observer_.Cancelled(); }

    void Report(UpdateStage stage, std::uint32_t current, std::uint32_t total, std::int32_t filePercent,
                std::uint32_t overallPercent, const std::wstring& file) const
    {
        observer_.OnProgress(
            UpdateProgress{stage, current, total, filePercent, static_cast<std::int32_t>(overallPercent), file});
    }

    // With a key the record is fetched first, then the manifest it must sign. A publish that falls between the
    // two hands the launcher one release's record and the next one's manifest: the pair is asked for again, up to
    // kPairRetries times, before a mismatch is reported as such. A publish takes one step, so a second pair is
    // whole unless the site is really wrong.
    Status FetchManifest()
    {
        std::wstring name = request_.manifestName;
        if (!IsSafeRelativePath(name))
            return Failure{L"更新清单文件名无效。"};
        const std::wstring url = BuildDownloadUrl(request_.siteUrl, name);
        const std::wstring localManifest = (std::filesystem::path(staging_) / L"manifest.ini").wstring();
        const DownloadCancelled cancelled = [this] { return Cancelled(); };
        for (std::uint32_t pair = 0;; ++pair) {
            const std::wstring recordUrl = BuildDownloadUrl(request_.siteUrl, name + L".sig");
            if (const Status record = release_.FetchRecord(fetcher_, recordUrl, cancelled); !record)
                return record;
            const Status manifest = DownloadToFile(fetcher_, url, localManifest, ManifestLimits(), *room_, {}, cancelled);
            if (!manifest)
                return Failure{L"更新清单下载失败：" + url + L"\n" + manifest.message()};
            const Result<ReleaseVerdict> verdict = release_.AdmitRecord(localManifest, root_);
            if (!verdict)
                return verdict.failure();
            if (*verdict == ReleaseVerdict::kAdmitted)
                break;
            if (pair == kPairRetries)
                return Failure{kManifestMismatchMessage};
        }
        Result<std::vector<ManifestEntry>> entries = ParseManifest(localManifest);
        if (!entries)
            return entries.failure();
        entries_ = std::move(*entries);
        // The block indexes are a saving, never a condition: a manifest the reader cannot take again has none.
        IniFile manifest;
        indexes_ = manifest.Load(localManifest) ? ReadBlockIndexRefs(manifest, entries_.size())
                                                : std::vector<std::optional<BlockIndexRef>>(entries_.size());
        return release_.MatchEntries(entries_);
    }

    // The check pass and the downloads overlap: this thread checks the files in the manifest's order and hands
    // each one found out of date at once to up to connections_ download threads, which take them in that order,
    // download them into the staging folder and verify them. Their reports wait until every file is checked, so
    // the label shows one pass after the other, counting the files to download. A failed download ends the check
    // pass; a cancel ends it at the next file.
    Status CheckAndDownloadFiles()
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
        quick_ = StartQuickCheck();
        for (std::uint32_t i = 0; i < count && !board.Stopped(); ++i) {
            if (Cancelled())
                return Failure{kCancelledMessage};
            const ManifestEntry& entry = entries_[i];
            Report(UpdateStage::kChecking, i + 1, count, 0, 0, entry.localPath);
            const std::wstring& target = targets_[i];
            if (quick_->Matches(i, target, entry.crc32Hex))
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
        if (const Status reported = ReportDownloads(board); !reported)
            return reported;
        pending_ = board.TakeFiles();
        return {};
    }

    std::unique_ptr<QuickCheck> StartQuickCheck() const
    {
        std::vector<std::wstring> localPaths;
        localPaths.reserve(entries_.size());
        for (const ManifestEntry& entry : entries_)
            localPaths.push_back(entry.localPath);
        return std::make_unique<QuickCheck>(request_.quickCheck, root_, request_.launcherVersion,
                                            std::move(localPaths));
    }

    // Hands the download threads' events to the callbacks and asks about a cancel at least every kCancelPoll. A
    // file is counted as it is verified; the overall percent is the share of the files' percents. Meanwhile the
    // verified files are written to the disk one by one, so the install pass only has to move them.
    Status ReportDownloads(DownloadBoard& board)
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
            return sum * kDownloadShare / (n * 100);
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
                    observer_.OnDownloadStarted(local);
                    Report(UpdateStage::kDownloading, std::min(verified + 1, n), n, 0, overall(), local);
                    break;
                case DownloadEvent::Kind::kProgress:
                    running[event.file] = event.percent;
                    Report(UpdateStage::kDownloading, std::min(verified + 1, n), n, event.percent, overall(), local);
                    break;
                case DownloadEvent::Kind::kVerified:
                    running.erase(event.file);
                    ++verified;
                    unflushed.push_back(event.file);
                    Report(UpdateStage::kVerifying, verified, n, 100, overall(), local);
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
                if (const Status flushed = Flush(board.File(unflushed.front())); !flushed) {
                    failure = flushed.message();
                    board.Stop();
                }
                unflushed.pop_front();
            }
        }
        if (failure)
            return Failure{*failure};
        if (cancelled)
            return Failure{kCancelledMessage};
        for (; !unflushed.empty(); unflushed.pop_front()) {
            if (Cancelled())
                return Failure{kCancelledMessage};
            if (const Status flushed = Flush(board.File(unflushed.front())); !flushed)
                return flushed;
        }
        return {};
    }

    // The file the install pass puts a staged file in place of: the launcher's goes beside the running one.
    std::wstring InstallTarget(const PendingFile& file) const
    {
        return file.isLauncher ? StagedLauncherPath(launcher_) : file.targetPath;
    }

    Status Flush(const PendingFile& file) const { return FlushStagedFile(file.stagedPath, InstallTarget(file)); }

    void DownloadThread(DownloadBoard& board)
    {
        while (const std::optional<DownloadBoard::Taken> taken = board.Take()) {
            board.Post({DownloadEvent::Kind::kStarted, taken->index, 0, {}});
            // The thread's edge: whatever escapes the download (the memory ran out) ends it as a failure.
            Status done = Failure{kGeneralFailureMessage};
            try {
                done = DownloadAndVerify(board, taken->index, *taken->file);
            } catch (const std::exception&) {
            }
            const auto kind = done ? DownloadEvent::Kind::kVerified : DownloadEvent::Kind::kFailed;
            board.Post({kind, taken->index, 100, done.message()});
        }
        board.Left();
    }

    // Runs on a download thread: only the board, the fetcher and the file's own staging path are touched.
    Status DownloadAndVerify(DownloadBoard& board, std::uint32_t index, const PendingFile& file)
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
        const std::wstring url = BuildDownloadUrl(request_.siteUrl, entry.remotePath);
        const auto downloadFailed = [&](const Status& download) {
            return Failure{L"文件下载失败：" + entry.remotePath + L"\n" + download.message()};
        };
        TransferLimits limits = release_.DownloadLimits(file.entryIndex);
        limits.unknownLengthCap = request_.maxUnknownLength;
        limits.site = &site_;
        std::uint32_t crc = 0;
        std::optional<BlockIndexRef> ref = indexes_[file.entryIndex];
        if (!ParseCrc32Text(L"0x" + entry.crc32Hex, crc))
            ref.reset();
        const StagedFileJob job{url, ref, ref ? BuildDownloadUrl(request_.siteUrl, ref->sitePath) : L"", crc,
                                file.targetPath, file.stagedPath, kept_, limits};
        const Result<bool> staged =
            FetchIntoStaging(fetcher_, job, *room_, adapter, stopped, [&](const std::optional<std::uint32_t>& written) {
                return IsGoodStagedFile(file, entry, written).ok();
            });
        if (!staged)
            return downloadFailed(staged.failure());
        if (*staged)
            return {};
        if (Status good = IsGoodStagedFile(file, entry); good)
            return good;
        // A cache on the way may have kept an older copy: the site itself has the last word.
        TransferLimits fresh = limits;
        fresh.bypassCaches = true;
        if (const Status again = DownloadToFile(fetcher_, url, file.stagedPath, fresh, *room_, {}, stopped); !again)
            return downloadFailed(again);
        return IsGoodStagedFile(file, entry);
    }

    // Whether a staged file is the one the manifest lists and, with a key, the one the release signs; otherwise
    // the failure says which check it failed. `written`: its CRC-32 as its bytes were written, when known. Runs on
    // a download thread.
    Status IsGoodStagedFile(const PendingFile& file, const ManifestEntry& entry,
                            const std::optional<std::uint32_t>& written = std::nullopt)
    {
        const StagedFileSums sums = release_.SumStaged(file.stagedPath, written);
        if (Status signedFile = release_.IsSigned(file.entryIndex, sums); !signedFile)
            return signedFile;
        if (sums.read && FormatCrc32(sums.crc32) == entry.crc32Hex)
            return {};
        return Failure{L"文件 CRC32 校验失败：" + entry.remotePath + L"。请重新生成并上传更新包。"};
    }

    // All or nothing: every target is checked before the first move, and a failure or a cancel between two moves
    // puts back every file moved so far, so the client is wholly the old release or wholly the new one. The
    // release number is kept only after the last move (Run).
    Result<UpdateResult> InstallFiles()
    {
        // The running executable is replaced only after every other file is in place.
        std::stable_sort(pending_.begin(), pending_.end(),
                         [](const PendingFile& a, const PendingFile& b) { return !a.isLauncher && b.isLauncher; });
        if (Cancelled())
            return Failure{kCancelledMessage};
        std::vector<StagedMove> moves;
        std::vector<std::wstring> relatives;
        for (const PendingFile& file : pending_) {
            relatives.push_back(RelativeToRoot(file.targetPath, root_));
            // The new launcher goes beside the running one under the name the self-update looks for, whatever
            // spelling the manifest used for it; other paths are checked against the disk once more now.
            if (file.isLauncher) {
                moves.push_back({file.stagedPath, InstallTarget(file)});
                continue;
            }
            const Result<std::wstring> target = ResolveUnderRoot(root_, relatives.back());
            if (!target)
                return target.failure();
            moves.push_back({file.stagedPath, *target});
        }
        InstallPass pass(std::move(moves), staging_);
        if (const Status checked = pass.CheckReplaceable(); !checked)
            return checked.failure();
        const auto n = static_cast<std::uint32_t>(pending_.size());
        for (std::uint32_t k = 0; k < n; ++k) {
            if (Cancelled())
                return Failure{kCancelledMessage};
            Report(UpdateStage::kInstalling, k + 1, n, 100, kDownloadShare + k * kInstallShare / n, relatives[k]);
            if (const Status moved = pass.Move(k); !moved)
                return moved.failure();
        }
        pass.Commit();
        UpdateResult result;
        result.succeeded = true;
        result.filesUpdated = static_cast<std::int32_t>(n);
        result.restartRequired = std::any_of(pending_.begin(), pending_.end(),
                                             [](const PendingFile& file) { return file.isLauncher; });
        return result;
    }

    const UpdateRequest& request_;
    UpdateObserver& observer_;
    Fetcher& fetcher_;
    const std::uint32_t connections_;
    // How many downloads run at once: at first connections_, fewer once the site says it is busy.
    SiteConnections site_;
    SignedUpdate release_;
    std::wstring root_;
    std::wstring staging_;
    std::wstring kept_;  // the folder of kept downloads
    std::unique_ptr<DiskRoom> room_;  // of the disk of the staging folder, shared by every download
    std::wstring launcher_;
    std::optional<FileIdentity> launcherIdentity_;
    std::vector<ManifestEntry> entries_;
    std::vector<std::wstring> targets_;  // entry i resolved under the root
    std::vector<std::optional<BlockIndexRef>> indexes_;  // entry i's block index, where the manifest names one
    std::vector<PendingFile> pending_;
    std::unique_ptr<QuickCheck> quick_;  // the check pass's record of verified files
};

}

Result<std::wstring> AbsoluteNormalPath(const std::wstring& path)
{
    const Result<std::wstring> full = FullPathOf(path);
    if (!full)
        return full;
    std::filesystem::path normal = std::filesystem::path(*full).lexically_normal();
    // "C:\game\" names the same folder as "C:\game"; only a drive root keeps its separator.
    if (!normal.has_filename() && normal.has_relative_path())
        normal = normal.parent_path();
    return normal.wstring();
}

std::wstring RelativeToRoot(const std::wstring& target, const std::wstring& root)
{
    return std::filesystem::path(target).lexically_relative(root).wstring();
}

UpdateResult ApplyClientUpdate(const UpdateRequest& request, UpdateObserver& observer, Fetcher& fetcher)
{
    UpdateResult failed;
    // The floor's edge: what escapes a step (the memory ran out) ends the update like any failure.
    failed.message = kGeneralFailureMessage;
    try {
        Result<UpdateResult> done = Transaction(request, observer, fetcher).Run();
        if (done)
            return *done;
        failed.message = done.message();
    } catch (const std::exception&) {
    }
    return failed;
}

UpdateResult ApplyClientUpdate(const UpdateRequest& request, UpdateObserver& observer)
{
    WinHttpFetcher fetcher;
    return ApplyClientUpdate(request, observer, fetcher);
}

}
