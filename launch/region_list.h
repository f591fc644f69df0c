#pragma once

// The region list: one "LIST" exchange with the directory service on a detached thread, published in `regions`
// and reported to the main window by one WM_APP_REGION_LIST_RESULT.

#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::uint16_t kDirectoryPort = 33556;

inline constexpr wchar_t kLoadingRegionsText[] = L"正在加载服务器列表...";
inline constexpr wchar_t kNoServerHostText[] = L"入口域名未配置。";
inline constexpr wchar_t kDirectoryUnreachableText[] = L"入口域名已解析，但多区列表服务无法连接。";
inline constexpr wchar_t kRegionLoadErrorText[] = L"加载服务器列表时发生未知错误。";

struct DirectoryEndpoint {
    std::wstring host;
    std::uint16_t port = 0;
};

// Starts loading the region list on a detached thread unless another long action runs (main window thread).
void StartRegionListLoad();

// The body of the load thread: its only outputs are `regions` and the posted result.
void LoadRegionList();

// The directory endpoints to try in order: `serverHost` on the directory port, or none (with `error` set) when
// no host is configured. `error` is emptied first.
std::vector<DirectoryEndpoint> BuildDirectoryEndpoints(std::wstring& error);
