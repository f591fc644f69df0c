#pragma once

// The front door of the update floor: what the window asks for (UpdateRequest), what it is told while the update
// runs (UpdateObserver, with the stage as UpdateStage) and what it gets back (UpdateResult). The window chooses
// every word the player reads from these values, except the failure's message, which the result carries.

#include "update/fetcher.h"

#include <cstdint>
#include <string>

namespace vorn {

// One update of a client folder from an update site. A capability of the update adds its setting here.
struct UpdateRequest {
    std::wstring siteUrl;       // the update site, ending in '/'
    std::wstring manifestName;  // the manifest's path under the site
    std::wstring clientFolder;  // the client's root
    std::wstring launcherPath;  // the running launcher: its new executable goes beside it as "<launcher>.new"
    // Files (or parts of a large file) downloaded at once; 1: one after another in the manifest's order.
    std::uint32_t connections = 1;
    // The key every release record must be signed with; empty: the site is not signed.
    std::wstring publicKey;
    // The lowest signed release accepted while the folder has no record of one installed.
    std::uint64_t minimumRelease = 0;
    // What a download may bring when the server does not announce its length.
    std::uint64_t maxUnknownLength = kDefaultMaxUnknownLength;
};

// What the update is doing; the values are those of the progress record the window keeps.
enum class UpdateStage : std::int32_t {
    kReadingManifest = 0,
    kChecking = 1,
    kDownloading = 2,
    kVerifying = 3,
    kInstalling = 4,
    kFinished = 5,
};

// The overall percent: the downloads and their verification fill the first kDownloadShare points, the install
// pass the next kInstallShare, and the finished update stands at 100.
inline constexpr std::int32_t kDownloadShare = 90;
inline constexpr std::int32_t kInstallShare = 9;

// One progress report.
struct UpdateProgress {
    UpdateStage stage = UpdateStage::kReadingManifest;
    std::uint32_t current = 0;  // the file the stage is at, counted from 1
    std::uint32_t total = 0;    // the files the stage goes through
    std::int32_t filePercent = 0;
    std::int32_t overallPercent = 0;
    std::wstring file;  // the client path of that file; empty where the stage has none
};

// What the update tells its caller, always on the thread that called ApplyClientUpdate.
class UpdateObserver {
public:
    virtual ~UpdateObserver() = default;
    virtual void OnProgress(const UpdateProgress& progress) = 0;
    // The download of `file` (its client path) has begun.
    virtual void OnDownloadStarted(const std::wstring& file) = 0;
    // Asked between steps and at least every kCancelPoll while a download runs: true stops the update.
    virtual bool Cancelled() const = 0;
};

// Where an update puts the launcher's own new executable, beside the running one, and where the self-update
// takes it from.
inline std::wstring StagedLauncherPath(const std::wstring& launcherPath)
{
    return launcherPath + L".new";
}

// The outcome of one update.
struct UpdateResult {
    bool succeeded = false;        // ran to its end, also when nothing had to be updated
    bool restartRequired = false;  // the launcher's own executable was staged as "<exe>.new"
    std::int32_t filesUpdated = 0; // files moved into place by this call
    std::wstring message;          // the failure's text for the player; empty on success
};

}
