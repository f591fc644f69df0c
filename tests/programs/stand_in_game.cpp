// Stands in for the game client in tests: records what it was started with (its command line, the three
// VORN_ environment variables and its working directory) into "game_record.txt" next to its own executable,
// as UTF-8 lines "name=value", and exits. A variable that is not set has no line. The record is written under
// a temporary name and moved into place, so a reader never sees half of it.

#include "base/text.h"

#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

std::wstring OwnFolder()
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    const std::wstring path(buffer.data(), length);
    return path.substr(0, path.find_last_of(L'\\'));
}

bool ReadVariable(const wchar_t* name, std::wstring& value)
{
    std::vector<wchar_t> buffer(32768);
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
        return false;
    value.assign(buffer.data(), length);
    return true;
}

std::wstring CurrentDirectory()
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    return std::wstring(buffer.data(), length);
}

}

int main()
{
    std::wstring record = L"command_line=" + std::wstring(GetCommandLineW()) + L"\n";
    record += L"working_directory=" + CurrentDirectory() + L"\n";
    for (const wchar_t* name : {L"VORN_SERVER_HOST", L"VORN_SERVER_PORT", L"VORN_CLIENT_SERIAL"}) {
        std::wstring value;
        if (ReadVariable(name, value))
            record += std::wstring(name) + L"=" + value + L"\n";
    }

    const std::wstring target = OwnFolder() + L"\\game_record.txt";
    const std::wstring temporary = target + L".part";
    {
        std::ofstream out(temporary.c_str(), std::ios::binary | std::ios::trunc);
        const std::string bytes = WideToUtf8(record);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out)
            return 1;
    }
    return MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
