#pragma once

#include "update/result.h"

#include <string>
#include <unordered_set>
#include <vector>

// Writes the data of a verified staged file to the disk. A rename on one volume moves only the directory entry:
// a staged file moved before its data is on the disk could, after a power loss, leave its target with the new
// name and no contents. A failure's message names targetPath.
vorn::Status FlushStagedFile(const std::wstring& stagedPath, const std::wstring& targetPath);

// FlushStagedFile, then a move over the target, creating the target's folder if needed.
vorn::Status InstallStagedFile(const std::wstring& stagedPath, const std::wstring& targetPath);

// One staged file and the file it replaces or becomes.
struct StagedMove {
    std::wstring stagedPath;  // written to the disk already (FlushStagedFile)
    std::wstring targetPath;
};

// Puts staged files in place all or nothing. A client half of one release and half of the next is one the game
// may run on, so before the first move every target that exists is opened for delete (a file the running game or
// a scanner holds stops the pass while nothing has changed yet); each replaced file is moved aside into a folder of
// the staging folder, on the same volume, and stays there until the last move has succeeded. Until Commit, a
// failure, an exception or the pass going out of scope undoes every move in reverse: the replaced files come back,
// the files that replaced none go, and so do the folders the pass made. A journal of the moves beside the
// replaced files lets the next start do the same for a launcher killed half-way (RestoreInterruptedInstall).
class InstallPass {
public:
    // `stagingFolder`: the update's staging folder, which holds the staged files and gets the replaced ones.
    InstallPass(std::vector<StagedMove> moves, const std::wstring& stagingFolder);
    InstallPass(const InstallPass&) = delete;
    InstallPass& operator=(const InstallPass&) = delete;
    ~InstallPass();

    // Whether every existing target can be replaced now, and the journal is on the disk; a failure names the
    // first target that cannot be replaced.
    vorn::Status CheckReplaceable();

    // Moves file `index`; a failure's message is for the player (the caller undoes the pass).
    vorn::Status Move(std::size_t index);

    // Every move stays: the journal goes first. The replaced files go with the staging folder.
    void Commit();

    // Puts back what the moves so far changed, the last first.
    void Undo();

private:
    struct Done {
        std::size_t index = 0;
        bool replaced = false;  // the old target was moved aside
        bool placed = false;    // the staged file is at the target
        std::vector<std::wstring> madeFolders;  // deepest first
    };

    std::wstring AsidePath(std::size_t index) const;
    bool MakeFolders(const std::wstring& targetPath, Done& done);
    bool WriteJournal() const;

    std::vector<StagedMove> moves_;
    std::wstring asideFolder_;
    std::vector<bool> exists_;                    // each target, as CheckReplaceable found it
    std::unordered_set<std::wstring> knownFolders_;  // folders found or made
    std::vector<Done> done_;
    bool committed_ = false;
};

// At start-up, for the staging folder of a launcher that is gone: when it was killed during an install pass (the
// journal is there), puts the replaced files back and removes the files that replaced none, so the client is the
// old release again. Only paths inside clientRoot and the staging folder are touched; errors are ignored.
void RestoreInterruptedInstall(const std::wstring& stagingFolder, const std::wstring& clientRoot);
