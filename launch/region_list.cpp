#include "launch/region_list.h"

#include "launch/region_line.h"
#include "net/line_client.h"
#include "net/winsock_session.h"

std::vector<DirectoryEndpoint> BuildDirectoryEndpoints(const std::wstring& serverHost, std::wstring& error)
{
    error.clear();
    if (serverHost.empty()) {
        error = kNoServerHostText;
        return {};
    }
    return {DirectoryEndpoint{serverHost, kDirectoryPort}};
}

RegionListResult LoadRegionList(const std::wstring& serverHost)
{
    RegionListResult result;
    try {
        const WinsockSession winsock;
        const std::vector<DirectoryEndpoint> endpoints = BuildDirectoryEndpoints(serverHost, result.errorText);
        for (const DirectoryEndpoint& endpoint : endpoints) {
            std::vector<std::string> lines;
            if (!SendLineRequest(endpoint.host, endpoint.port, "LIST", lines))
                continue;
            result.errorText.clear();
            result.connected = true;
            for (const std::string& line : lines) {
                if (std::optional<RegionInfo> region = ParseRegionLine(line))
                    result.regions.push_back(std::move(*region));
            }
            break;
        }
        if (!result.connected && !endpoints.empty())
            result.errorText = kDirectoryUnreachableText;
    } catch (...) {
        result.errorText = kRegionLoadErrorText;
    }
    return result;
}
