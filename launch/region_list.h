#pragma once

// The region list: one "LIST" exchange with the directory service, read into plain values.

#include "launch/region_info.h"

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

struct RegionListResult {
    bool connected = false;           // a directory answered, whatever it said
    std::wstring errorText;           // empty, or what went wrong
    std::vector<RegionInfo> regions;  // in reply order; what was read before a failure is kept
};

// Asks the directory at `serverHost` (the configured one) for its regions. Blocks for the exchange; never throws.
// It reads nothing of the process's own, so a load the window no longer waits for may outlive it.
RegionListResult LoadRegionList(const std::wstring& serverHost);

// The directory endpoints to try in order: `serverHost` on the directory port, or none (with `error` set) when
// no host is configured. `error` is emptied first.
std::vector<DirectoryEndpoint> BuildDirectoryEndpoints(const std::wstring& serverHost, std::wstring& error);
