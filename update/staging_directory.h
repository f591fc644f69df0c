#pragma once

#include <windows.h>

#include <string>

// The private folder an update downloads into before anything touches the client's files.

// ".vorn-update-<process id>-<tick count>-<attempt>"
std::wstring StagingDirectoryName(DWORD processId, ULONGLONG tickCount, int attempt);

// Creates parent (and what is missing above it), then a new empty staging folder inside it; returns its path.
// Throws std::filesystem::filesystem_error or std::runtime_error when that is impossible.
std::wstring CreateStagingDirectory(const std::wstring& parent);

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
