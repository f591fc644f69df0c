#include "base/command_line.h"

#include "base/unique_resource.h"

#include <shellapi.h>

std::optional<SelfUpdateArguments> ParseSelfUpdateArguments(const std::vector<std::wstring>& arguments)
{
    if (arguments.size() != 4 || arguments[1] != L"--apply-update")
        return std::nullopt;
    return SelfUpdateArguments{arguments[2], arguments[3]};
}

std::vector<std::wstring> ProcessArguments()
{
    int count = 0;
    UniqueLocal list(CommandLineToArgvW(GetCommandLineW(), &count));
    std::vector<std::wstring> arguments;
    if (!list)
        return arguments;
    auto** argv = static_cast<LPWSTR*>(list.get());
    for (int i = 0; i < count; ++i)
        arguments.emplace_back(argv[i]);
    return arguments;
}
