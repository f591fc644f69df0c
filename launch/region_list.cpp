#include "launch/region_list.h"

#include "base/config.h"
#include "launch/region_line.h"
#include "net/line_client.h"
#include "net/winsock_session.h"
#include "ui/controls.h"
#include "ui/shared_state.h"

#include <new>
#include <thread>

namespace {

void SetLongActionButtonsEnabled(bool enabled)
{
    if (downloadButton != nullptr)
        EnableWindow(downloadButton, enabled);
    if (enterGameButton != nullptr)
        EnableWindow(enterGameButton, enabled && HasValidSelection());
    if (mainWindow != nullptr)
        InvalidateRect(mainWindow, nullptr, FALSE);
}

}

void StartRegionListLoad()
{
    if (busy.exchange(true))
        return;
    SetLongActionButtonsEnabled(false);
    PostStatusText(kLoadingRegionsText);
    try {
        std::thread(LoadRegionList).detach();
    } catch (...) {
        // Without its thread the load never posts a result, so nothing would ever clear `busy`: undo the start.
        busy = false;
        SetLongActionButtonsEnabled(true);
        PostStatusText(kRegionLoadErrorText);
    }
}

std::vector<DirectoryEndpoint> BuildDirectoryEndpoints(std::wstring& error)
{
    error.clear();
    const std::wstring& host = Config().serverHost;
    if (host.empty()) {
        error = kNoServerHostText;
        return {};
    }
    return {DirectoryEndpoint{host, kDirectoryPort}};
}

void LoadRegionList()
{
    std::wstring message;
    bool connected = false;
    std::vector<RegionInfo> found;
    try {
        const WinsockSession winsock;
        const std::vector<DirectoryEndpoint> endpoints = BuildDirectoryEndpoints(message);
        for (const DirectoryEndpoint& endpoint : endpoints) {
            std::vector<std::string> lines;
            if (!SendLineRequest(endpoint.host, endpoint.port, "LIST", lines))
                continue;
            message.clear();
            connected = true;
            for (const std::string& line : lines) {
                if (std::optional<RegionInfo> region = ParseRegionLine(line))
                    found.push_back(std::move(*region));
            }
            break;
        }
        if (!connected && !endpoints.empty())
            message = kDirectoryUnreachableText;
    } catch (...) {
        message = kRegionLoadErrorText;
    }

    {
        std::lock_guard lock(regionMutex);
        regions = std::move(found);
    }
    // The thread ends here; an allocation failure must not escape it, and without a payload nothing is posted.
    std::unique_ptr<std::wstring> payload(new (std::nothrow) std::wstring(std::move(message)));
    if (payload)
        PostToMainWindow(WM_APP_REGION_LIST_RESULT, connected ? 1 : 0, std::move(payload));
}
