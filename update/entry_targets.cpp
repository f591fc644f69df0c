#include "update/entry_targets.h"

#include "base/unique_resource.h"
#include "update/kept_download.h"
#include "update/path_rules.h"
#include "update/staging_directory.h"
#include "update/verified_record_file.h"

namespace vorn {

namespace {

// The system makes up 8.3 aliases with a "~"; a path without one can reach another name only through letter case.
bool MayHoldAlias(const std::wstring& relativePath)
{
    return relativePath.find(L'~') != std::wstring::npos;
}

}

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

bool SameFile(const std::wstring& path, const std::wstring& other, const std::optional<FileIdentity>& otherIdentity)
{
    if (_wcsicmp(path.c_str(), other.c_str()) == 0)
        return true;
    return otherIdentity && IdentityOf(path) == otherIdentity;
}

// Nothing changes the tree between this pass and the check pass, so the check pass uses the paths found here;
// the install pass asks the disk afresh.
Result<std::vector<std::wstring>> ResolveEntryTargets(const std::wstring& root,
                                                      const std::vector<ManifestEntry>& entries,
                                                      const LauncherPlaces& places)
{
    const std::optional<FileIdentity> newIdentity = IdentityOf(places.launcherNew);
    const std::optional<FileIdentity> stagingIdentity = IdentityOf(places.staging);
    const std::optional<FileIdentity> keptIdentity = IdentityOf(places.kept);
    UnderRootResolver resolver(root);
    std::vector<std::wstring> targets;
    targets.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::wstring& local = entries[i].localPath;
        const Result<std::wstring> target = resolver.Resolve(local);
        if (!target)
            return target.failure();
        targets.push_back(*target);
        const std::wstring top = local.substr(0, local.find(L'\\'));
        const bool aliased = MayHoldAlias(local);
        const auto reaches = [&](const std::optional<FileIdentity>& folderIdentity) {
            const Result<std::wstring> topPath = ResolveUnderRoot(root, top);
            return topPath && IdentityOf(*topPath) == folderIdentity;
        };
        // Staging, the record of verified files, the clock's probe and the kept downloads are the launcher's own.
        const bool refused =
            HasStagingPrefix(top) || IsVerifiedRecordFileName(top) || IsKeptFolderName(top) ||
            _wcsicmp(targets.back().c_str(), places.launcherNew.c_str()) == 0 ||
            (aliased && newIdentity && IdentityOf(targets.back()) == newIdentity) ||
            (aliased && stagingIdentity && reaches(stagingIdentity)) ||
            (aliased && keptIdentity && reaches(keptIdentity));
        if (refused)
            return Failure{EntryMessage(i + 1)};
    }
    return targets;
}

}
