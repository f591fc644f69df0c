#include "launch/enter_game.h"

#include "launch/auth_protocol.h"
#include "launch/connect_block.h"
#include "launch/connect_file.h"
#include "launch/hardware_id.h"
#include "net/line_client.h"
#include "net/winsock_session.h"

#include <windows.h>

#include <exception>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kConnectFileFailed[] =
    L"无法写入游戏连接配置：\nData\\Local\\Connect.msil\n\n请确认客户端目录可写，并检查安全软件是否拦截。";

LaunchStep Stop(std::wstring text, LaunchNotice::Kind kind = LaunchNotice::Kind::Error)
{
    return {std::nullopt, LaunchNotice{std::move(text), kLaunchCaption, kind}};
}

// The CAPTCHA and AUTH exchanges share one deadline: a service that never accepts or never answers costs the
// player this long in all, not once per exchange.
constexpr unsigned long kAuthorisationDeadlineMs = kExchangeDeadlineMs;

// What is left of the authorisation's deadline that started at `started`.
unsigned long TimeLeftMs(ULONGLONG started)
{
    const ULONGLONG spent = GetTickCount64() - started;
    return spent >= kAuthorisationDeadlineMs ? 0 : static_cast<unsigned long>(kAuthorisationDeadlineMs - spent);
}

LaunchStep Refuse(const std::wstring& reason)
{
    return Stop(L"服务器启动认证失败：" + reason);
}

}

LaunchPreconditions CheckLaunchPreconditions(bool hasRegions, bool hasSelection, const std::wstring& clientRoot)
{
    if (!hasRegions)
        return {Stop(L"暂无可用游戏分区。请先配置并启动多区列表服务端。", LaunchNotice::Kind::Information).notice};
    if (!hasSelection)
        return {Stop(L"请先选择一个游戏分区。", LaunchNotice::Kind::Information).notice};
    switch (EnsureConnectFile(clientRoot, kConnectBlockIsStandIn)) {
    case ConnectFileOutcome::Failed:
        return {Stop(kConnectFileFailed).notice};
    case ConnectFileOutcome::OtherKept:
        return {std::nullopt, true};
    case ConnectFileOutcome::Correct:
        break;
    }
    return {};
}

LaunchStep RunLaunchAuthorisation(const LauncherConfig& config, const RegionInfo& region,
                                  const std::wstring& clientCode, const std::wstring& clientId,
                                  const std::wstring& hardwareId)
{
    try {
        const WinsockSession session;
        const ULONGLONG started = GetTickCount64();
        std::vector<std::string> lines;
        LaunchTarget target{region.host, region.port, clientCode};

        // A failed, refused or malformed CAPTCHA exchange is no error: the launch goes on without a dynamic code.
        std::wstring dynamicCode;
        if (SendLineRequest(region.host, region.port, "CAPTCHA", lines))
            dynamicCode = ParseCaptchaReply(lines);
        if (dynamicCode.size() == kClientCodeLength)
            target.clientCode = dynamicCode;

        const std::string request = BuildAuthRequestLine(
            {config.clientVersion, config.clientSubVersion, target.clientCode, clientId, hardwareId, dynamicCode});
        if (!SendLineRequest(region.host, region.port, request, lines, TimeLeftMs(started)) || lines.empty())
            return Refuse(kNoResponseReason);
        const std::string& reply = lines.front();
        if (!IsAuthAcceptance(reply))
            return Refuse(AuthRefusalReason(reply));

        const AuthAcceptance acceptance = ParseAuthAcceptance(reply);
        switch (acceptance.outcome) {
        case AuthAcceptance::Outcome::WrongFieldCount:
            return Stop(L"服务器返回的启动认证响应格式无效。");
        case AuthAcceptance::Outcome::PortOutOfRange:
            return Stop(L"服务器返回的连接服务器端口无效。");
        case AuthAcceptance::Outcome::Accepted:
            break;
        }
        target.host = acceptance.host;
        target.port = acceptance.port;
        return {std::move(target), {}};
    } catch (const std::exception&) {
        return Stop(L"连接分区认证服务时发生错误。");
    }
}

LaunchStep AuthoriseLaunch(const LauncherConfig& config, const RegionInfo& region, const std::wstring& account)
{
    LaunchStep step{LaunchTarget{region.host, region.port, config.clientSerial}, {}};
    const std::wstring hardwareId = GetHardwareId();
    const std::wstring clientId = BuildClientId(account, hardwareId);
    if (config.launchAuthEnabled) {
        step = RunLaunchAuthorisation(config, region, step.target->clientCode, clientId, hardwareId);
        if (!step.target)
            return step;
    }
    if (!IsValidClientCode(step.target->clientCode))
        return Stop(L"服务器返回的客户端验证码必须是 16 位 ASCII 字符。");
    return step;
}
