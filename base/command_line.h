#pragma once

#include <optional>
#include <string>
#include <vector>

// The self-update form: <staged exe> --apply-update <exe to replace> <process id to wait for>.
struct SelfUpdateArguments {
    std::wstring targetPath;
    std::wstring processId;
};

// Only exactly four arguments with "--apply-update" (exact case) second are the self-update form.
std::optional<SelfUpdateArguments> ParseSelfUpdateArguments(const std::vector<std::wstring>& arguments);

// The process's own command line, split the way the shell splits it.
std::vector<std::wstring> ProcessArguments();
