#pragma once

#include "update/result.h"

#include <string>
#include <unordered_set>

// Whether a relative path from the manifest may be used under a folder, normalising it on the way: forward
// slashes become backslashes and one leading backslash is dropped (both stay in `path` even when a later rule
// refuses it). Refuses empty text, white space at either end, UNC and device forms, drive letters and streams,
// wildcard and control characters, empty, "." and ".." components, components ending in "." or a space, and
// reserved device names (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an extension). Never throws.
bool IsSafeRelativePath(std::wstring& path);

// The messages of the path rules' failures.
std::wstring InvalidPathMessage(const std::wstring& path);
std::wstring LinkedPathMessage(const std::wstring& linked);

// Joins a relative path under root, refusing to pass through links: fails with InvalidPathMessage when the path
// rules refuse it, and with LinkedPathMessage (naming the link) when a component that already exists under root
// is a reparse point (symbolic link, junction, mount point). Missing components are fine; root itself is not
// examined.
vorn::Result<std::wstring> ResolveUnderRoot(const std::wstring& root, std::wstring relativePath);

// The absolute form of a path as the system gives it; InvalidPathMessage when it cannot.
vorn::Result<std::wstring> FullPathOf(const std::wstring& path);

// ResolveUnderRoot for many paths under one root: what one attribute query found out about a folder (a plain
// folder, or missing) is remembered, so a long list costs about one query per distinct folder instead of one per
// component of every path. Same results as ResolveUnderRoot as long as nobody changes the tree while the resolver
// is in use; make a new one after changing it.
class UnderRootResolver {
public:
    explicit UnderRootResolver(const std::wstring& root);
    vorn::Result<std::wstring> Resolve(std::wstring relativePath);
    // Resolve, and also fails when the status of the joined path itself cannot be read (anything but "exists" or
    // "not there").
    vorn::Result<std::wstring> ResolveWithStatus(std::wstring relativePath);

private:
    vorn::Result<std::wstring> Walk(std::wstring relativePath, bool needStatus);

    std::wstring base_;  // the root with one separator at its end
    std::unordered_set<std::wstring> plainFolders_;  // upper-cased relative prefixes that exist and are no link
    std::unordered_set<std::wstring> missing_;       // upper-cased relative prefixes that do not exist
    std::wstring prefix_;                            // scratch for the prefix being looked up
};
