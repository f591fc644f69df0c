#include "launch/game_start.h"

#include "base/unique_resource.h"
#include "launch/client_path.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cwchar>
#include <filesystem>
#include <system_error>
#include <vector>

namespace {

constexpr wchar_t kHostVariable[] = L"VORN_SERVER_HOST";
constexpr wchar_t kPortVariable[] = L"VORN_SERVER_PORT";
constexpr wchar_t kSerialVariable[] = L"VORN_CLIENT_SERIAL";

// The name of a "name=value" string of an environment block. The system keeps the current folders of the
// drives as "=C:=C:\\dir", whose name begins with the '='.
std::wstring_view VariableName(std::wstring_view entry)
{
    return entry.substr(0, entry.find(L'=', 1));
}

bool SameName(std::wstring_view a, std::wstring_view b)
{
    return a.size() == b.size() && _wcsnicmp(a.data(), b.data(), a.size()) == 0;
}

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

std::wstring BuildGameEnvironment(const wchar_t* inherited, const LaunchTarget& target)
{
    const std::array<std::wstring, 3> names{kHostVariable, kPortVariable, kSerialVariable};
    std::vector<std::wstring> entries;
    for (const wchar_t* entry = inherited; entry != nullptr && *entry != L'\0'; entry += wcslen(entry) + 1) {
        const std::wstring_view name = VariableName(entry);
        if (std::none_of(names.begin(), names.end(), [&](const std::wstring& own) { return SameName(name, own); }))
            entries.emplace_back(entry);
    }
    entries.push_back(names[0] + L"=" + target.host);
    entries.push_back(names[1] + L"=" + std::to_wstring(target.port));
    entries.push_back(names[2] + L"=" + target.clientCode);
    std::stable_sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        const std::wstring_view left = VariableName(a);
        const std::wstring_view right = VariableName(b);
        const int order = _wcsnicmp(left.data(), right.data(), std::min(left.size(), right.size()));
        return order != 0 ? order < 0 : left.size() < right.size();
    });
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

std::optional<LaunchNotice> StartGameClient(const LauncherConfig& config, const std::wstring& clientRoot,
                                            const LaunchTarget& target)
{
    const std::wstring executable = JoinClientPath(clientRoot, config.gameExe);
    if (!IsExistingRegularFile(executable)) {
        return LaunchNotice{L"找不到游戏主程序：\n" + executable};
    }
    const std::wstring commandLine = BuildGameCommandLine(
        executable, ExpandGameArguments(config.gameArgsTemplate, target.host, target.port));
    std::vector<wchar_t> commandBuffer(commandLine.begin(), commandLine.end());
    commandBuffer.push_back(L'\0');

    // The values travel in the game's own environment: the serial is meant for the game alone, and the launcher's
    // environment stays as it was.
    const UniqueEnvironmentStrings inherited(GetEnvironmentStringsW());
    std::wstring environment = BuildGameEnvironment(inherited.get(), target);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created{};
    const BOOL started =
        CreateProcessW(executable.c_str(), commandBuffer.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                       environment.data(), clientRoot.c_str(), &startup, &created);
    const DWORD startError = started ? ERROR_SUCCESS : GetLastError();
    UniqueHandle process(created.hProcess);
    UniqueHandle thread(created.hThread);

    if (!started)
        return LaunchNotice{L"启动游戏进程失败，错误码：" + std::to_wstring(startError)};
    // The launcher neither waits for the game nor watches it.
    return std::nullopt;
}
