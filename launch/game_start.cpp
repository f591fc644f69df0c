#include "launch/game_start.h"

#include "base/config.h"
#include "base/paths.h"
#include "base/unique_resource.h"
#include "launch/client_path.h"

#include <windows.h>

#include <filesystem>
#include <system_error>
#include <vector>

namespace {

constexpr wchar_t kHostVariable[] = L"VORN_SERVER_HOST";
constexpr wchar_t kPortVariable[] = L"VORN_SERVER_PORT";
constexpr wchar_t kSerialVariable[] = L"VORN_CLIENT_SERIAL";

// A path we cannot inspect counts as missing rather than escaping into the window procedure.
bool IsExistingRegularFile(const std::wstring& path)
{
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

}

void ReplaceAll(std::wstring& text, std::wstring_view pattern, std::wstring_view replacement)
{
    if (pattern.empty())
        return;
    std::wstring::size_type position = 0;
    while ((position = text.find(pattern, position)) != std::wstring::npos) {
        text.replace(position, pattern.size(), replacement);
        position += replacement.size();
    }
}

std::wstring ExpandGameArguments(std::wstring argumentTemplate, const std::wstring& host, std::uint16_t port)
{
    ReplaceAll(argumentTemplate, L"{host}", host);
    ReplaceAll(argumentTemplate, L"{port}", std::to_wstring(port));
    return argumentTemplate;
}

std::wstring BuildGameCommandLine(const std::wstring& executablePath, const std::wstring& arguments)
{
    std::wstring commandLine = L"\"" + executablePath + L"\"";
    if (!arguments.empty())
        commandLine += L" " + arguments;
    return commandLine;
}

std::optional<LaunchNotice> StartGameClient(const std::wstring& host, std::uint16_t port, const std::wstring& clientCode)
{
    const std::wstring executable = JoinClientPath(ClientRoot(), Config().gameExe);
    if (!IsExistingRegularFile(executable)) {
        return LaunchNotice{L"找不到游戏主程序：\n" + executable};
    }
    const std::wstring commandLine =
        BuildGameCommandLine(executable, ExpandGameArguments(Config().gameArgsTemplate, host, port));
    std::vector<wchar_t> commandBuffer(commandLine.begin(), commandLine.end());
    commandBuffer.push_back(L'\0');

    // The game inherits the launcher's own environment, so the values travel through it.
    SetEnvironmentVariableW(kHostVariable, host.c_str());
    SetEnvironmentVariableW(kPortVariable, std::to_wstring(port).c_str());
    SetEnvironmentVariableW(kSerialVariable, clientCode.c_str());

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created{};
    const BOOL started = CreateProcessW(executable.c_str(), commandBuffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                        ClientRoot().c_str(), &startup, &created);
    // Taken before the environment is touched again, which may overwrite it.
    const DWORD startError = started ? ERROR_SUCCESS : GetLastError();
    UniqueHandle process(created.hProcess);
    UniqueHandle thread(created.hThread);
    // The serial is meant for the game alone; the launcher does not keep it in its environment.
    SetEnvironmentVariableW(kSerialVariable, nullptr);

    if (!started)
        return LaunchNotice{L"启动游戏进程失败，错误码：" + std::to_wstring(startError)};
    // The launcher neither waits for the game nor watches it.
    return std::nullopt;
}
