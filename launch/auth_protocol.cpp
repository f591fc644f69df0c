#include "launch/auth_protocol.h"

#include "base/text.h"
#include "net/host_text.h"

#include <array>
#include <utility>

namespace {

constexpr std::string_view kAcceptancePrefix = "OK AUTH";

constexpr std::array<std::pair<std::string_view, const wchar_t*>, 8> kRefusalReasons = {{
    {"ERR AUTH_FORMAT", L"启动认证请求格式错误。"},
    {"ERR CLIENT_VERSION", L"客户端版本或序列号不正确。"},
    {"ERR CLIENT_ID", L"账号或硬件标识无效。"},
    {"ERR CAPTCHA", L"动态验证码无效，请重试。"},
    {"ERR BLOCKED", L"账号或硬件标识已被封禁。"},
    {"ERR IP_BLOCKED", L"当前网络地址已被禁止访问。"},
    {"ERR TOO_MANY_CONNECTIONS", L"当前网络地址的连接数过多。"},
    {"ERR ASSISTANT_OFF", L"服务端已关闭游戏助手和启动认证。"},
}};

constexpr wchar_t kUnknownRefusalReason[] = L"服务器拒绝了启动认证请求。";

}

std::wstring ParseCaptchaReply(const std::vector<std::string>& lines)
{
    if (lines.empty())
        return {};
    std::vector<std::wstring> fields = SplitFields(Utf8ToWide(lines.front()), L'\t');
    if (fields.size() != 2 || fields[0] != L"OK CAPTCHA")
        return {};
    return std::move(fields[1]);
}

std::string BuildAuthRequestLine(const AuthRequest& request)
{
    std::wstring line = L"AUTH";
    for (const std::wstring* field : {&request.clientVersion, &request.clientSubVersion, &request.clientCode,
                                      &request.clientId, &request.hardwareId, &request.dynamicCode}) {
        line += L'\t';
        line += *field;
    }
    return WideToUtf8(line);
}

bool IsAuthAcceptance(std::string_view line)
{
    return line.substr(0, kAcceptancePrefix.size()) == kAcceptancePrefix;
}

std::wstring AuthRefusalReason(std::string_view line)
{
    for (const auto& [code, reason] : kRefusalReasons) {
        if (line == code)
            return reason;
    }
    return kUnknownRefusalReason;
}

AuthAcceptance ParseAuthAcceptance(std::string_view line)
{
    AuthAcceptance acceptance;
    std::vector<std::wstring> fields = SplitFields(Utf8ToWide(line), L'\t');
    if (fields.size() != 3 || !IsValidHostText(fields[1]))
        return acceptance;
    const int port = std::stoi(fields[2]);
    if (port < 1 || port > 65535) {
        acceptance.outcome = AuthAcceptance::Outcome::PortOutOfRange;
        return acceptance;
    }
    acceptance.outcome = AuthAcceptance::Outcome::Accepted;
    acceptance.host = std::move(fields[1]);
    acceptance.port = static_cast<std::uint16_t>(port);
    return acceptance;
}

bool IsValidClientCode(std::wstring_view code)
{
    if (code.size() != kClientCodeLength)
        return false;
    for (const wchar_t c : code) {
        if (c < L'\x21' || c > L'\x7E')
            return false;
    }
    return true;
}
