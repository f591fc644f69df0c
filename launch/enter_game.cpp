#include "launch/enter_game.h"

#include "base/config.h"
#include "base/message_box.h"
#include "launch/auth_protocol.h"
#include "launch/connect_file.h"
#include "launch/game_start.h"
#include "launch/hardware_id.h"
#include "net/line_client.h"
#include "net/winsock_session.h"
#include "ui/settings.h"
#include "ui/shared_state.h"

#include <windows.h>

#include <exception>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kCaption[] = L"无法启动游戏";
constexpr wchar_t kConnectFileFailed[] =
    L"无法写入游戏连接配置：\nData\\Local\\Connect.msil\n\n请确认客户端目录可写，并检查安全软件是否拦截。";

void ShowLaunchMessage(const std::wstring& text, UINT icon)
{
    ShowMessageBox(mainWindow, text, kCaption, MB_OK | icon);
}

bool Refuse(const std::wstring& reason)
{
    ShowLaunchMessage(L"服务器启动认证失败：" + reason, MB_ICONERROR);
    return false;
}

RegionInfo CopySelectedRegion()
{
    std::lock_guard lock(regionMutex);
    if (selectedRegion < 0 || static_cast<std::size_t>(selectedRegion) >= regions.size())
        return {};
    return regions[static_cast<std::size_t>(selectedRegion)];
}

}

bool RunLaunchAuthorisation(RegionInfo& region, std::wstring& clientCode, const std::wstring& clientId,
                            const std::wstring& hardwareId)
{
    try {
        const WinsockSession session;
        std::vector<std::string> lines;

        // A failed, refused or malformed CAPTCHA exchange is no error: the launch goes on without a dynamic code.
        std::wstring dynamicCode;
        if (SendLineRequest(region.host, region.port, "CAPTCHA", lines))
            dynamicCode = ParseCaptchaReply(lines);
        if (dynamicCode.size() == kClientCodeLength)
            clientCode = dynamicCode;

        const LauncherConfig& config = Config();
        const std::string request = BuildAuthRequestLine(
            {config.clientVersion, config.clientSubVersion, clientCode, clientId, hardwareId, dynamicCode});
        if (!SendLineRequest(region.host, region.port, request, lines) || lines.empty())
            return Refuse(kNoResponseReason);
        const std::string& reply = lines.front();
        if (!IsAuthAcceptance(reply))
            return Refuse(AuthRefusalReason(reply));

        const AuthAcceptance acceptance = ParseAuthAcceptance(reply);
        switch (acceptance.outcome) {
        case AuthAcceptance::Outcome::WrongFieldCount:
            ShowLaunchMessage(L"服务器返回的启动认证响应格式无效。", MB_ICONERROR);
            return false;
        case AuthAcceptance::Outcome::PortOutOfRange:
            ShowLaunchMessage(L"服务器返回的连接服务器端口无效。", MB_ICONERROR);
            return false;
        case AuthAcceptance::Outcome::Accepted:
            break;
        }
        region.host = acceptance.host;
        region.port = acceptance.port;
        return true;
    } catch (const std::exception&) {
        ShowLaunchMessage(L"连接分区认证服务时发生错误。", MB_ICONERROR);
        return false;
    }
}

void EnterGame()
{
    // A region load or an update is running; the press is dropped without a word.
    if (busy.load())
        return;
    if (!hasRegions) {
        ShowLaunchMessage(L"暂无可用游戏分区。请先配置并启动多区列表服务端。", MB_ICONINFORMATION);
        return;
    }
    if (!HasValidSelection()) {
        ShowLaunchMessage(L"请先选择一个游戏分区。", MB_ICONINFORMATION);
        return;
    }
    if (!EnsureConnectFile()) {
        ShowLaunchMessage(kConnectFileFailed, MB_ICONERROR);
        return;
    }
    // The player's choices are stored before anything goes over the network.
    SaveSettings();

    RegionInfo region = CopySelectedRegion();
    std::wstring clientCode = Config().clientSerial;
    const std::wstring hardwareId = GetHardwareId();
    const std::wstring clientId = BuildClientId(ReadAccountText(), hardwareId);

    if (Config().launchAuthEnabled && !RunLaunchAuthorisation(region, clientCode, clientId, hardwareId))
        return;
    if (!IsValidClientCode(clientCode)) {
        ShowLaunchMessage(L"服务器返回的客户端验证码必须是 16 位 ASCII 字符。", MB_ICONERROR);
        return;
    }
    StartGameClient(region.host, region.port, clientCode);
}
