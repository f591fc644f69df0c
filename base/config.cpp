#include "base/config.h"

#include "config_values.h"

#include <utility>

namespace {
LauncherConfig processConfig;
}

LauncherConfig BuildDefaultConfig()
{
    LauncherConfig config;
    config.windowTitle = VORN_CFG_WINDOW_TITLE;
    config.serverHost = VORN_CFG_SERVER_HOST;
    config.updateBaseUrl = VORN_CFG_UPDATE_BASE_URL;
    config.manifestName = VORN_CFG_MANIFEST_NAME;
    config.gameExe = VORN_CFG_GAME_EXE;
    config.gameArgsTemplate = VORN_CFG_GAME_ARGS_TEMPLATE;
    config.websiteUrl = VORN_CFG_WEBSITE_URL;
    config.clientVersion = VORN_CFG_CLIENT_VERSION;
    config.clientSubVersion = VORN_CFG_CLIENT_SUB_VERSION;
    config.clientSerial = VORN_CFG_CLIENT_SERIAL;
    config.downloadConnections = VORN_CFG_DOWNLOAD_CONNECTIONS;
    config.maxUnknownLength = VORN_CFG_MAX_UNKNOWN_LENGTH;
    config.launchAuthEnabled = VORN_CFG_LAUNCH_AUTH_ENABLED;
    config.updatePublicKey = VORN_CFG_UPDATE_PUBLIC_KEY;
    config.minimumRelease = VORN_CFG_MINIMUM_RELEASE;
    return config;
}

const LauncherConfig& Config()
{
    return processConfig;
}

void InstallConfig(LauncherConfig&& config)
{
    processConfig = std::move(config);
}
