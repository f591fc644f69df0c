#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// The private folder an update downloads into before anything touches the client's files.

// ".vorn-update-<process id>-<tick count>-<attempt>"
std::wstring StagingDirectoryName(DWORD processId, ULONGLONG tickCount, int attempt);

// Whether a name is exactly of the form StagingDirectoryName gives: the prefix in its own letter case and three
// decimal numbers of at most 20 digits each, joined by '-'.
bool IsStagingDirectoryName(std::wstring_view name);

// Creates parent (and what is missing above it), then a new empty staging folder inside it; returns its path.
// Throws std::filesystem::filesystem_error or std::runtime_error when that is impossible.
std::wstring CreateStagingDirectory(const std::wstring& parent);

// Removes the staging folders that a launcher killed during an update left directly in `parent`: folders with a
// staging name, with everything in them. Files and links of that name stay, and so does whatever a link inside
// points to. Errors are ignored (what cannot go now goes at a later start). Call it only while holding the
// single-instance mutex: a running launcher's own staging folder would vanish under it.
void RemoveLeftoverStagingDirectories(const std::wstring& parent);

// Removes the staging folder with everything in it when the scope ends, on every path; errors are ignored.
class StagingDirectoryGuard {
public:
    StagingDirectoryGuard() = default;
    explicit StagingDirectoryGuard(std::wstring path) : path_(std::move(path)) {}
    StagingDirectoryGuard(const StagingDirectoryGuard&) = delete;
    StagingDirectoryGuard& operator=(const StagingDirectoryGuard&) = delete;
    ~StagingDirectoryGuard();

    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};
