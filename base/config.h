#pragma once

#include <cstdint>
#include <string>

// Everything that ties the launcher to one game server, compiled in. Built once at start-up and read-only after.
struct LauncherConfig {
    std::wstring windowTitle;
    std::wstring serverHost;
    std::wstring updateBaseUrl;
    std::wstring manifestName;
    std::wstring gameExe;
    std::wstring gameArgsTemplate;
    std::wstring websiteUrl;
    std::wstring clientVersion;
    std::wstring clientSubVersion;
    std::wstring clientSerial;
    std::uint32_t downloadConnections = 1;  // files an update downloads at once; 1: one after another
    std::uint64_t maxUnknownLength = 0;     // bytes a download may bring when the server announces no length
    bool launchAuthEnabled = false;
    std::wstring updatePublicKey;  // empty: updates are not signed; else every update must carry its signature
    std::uint64_t minimumRelease = 0;  // the lowest signed release a client without a record of one accepts
};

// The caption of the single-instance notice: the compiled-in title text, whatever windowTitle was built as.
inline constexpr wchar_t kLauncherTitle[] = L"Vorn 岚谷登录器";

// The record with the compiled-in defaults. Reads nothing from outside the executable.
LauncherConfig BuildDefaultConfig();

// The process-wide instance. Start-up moves the built record in once, before any window or worker exists;
// after that every reader goes through Config() without a lock because nothing writes it again.
const LauncherConfig& Config();
void InstallConfig(LauncherConfig&& config);
