#include "tests/launch/launch_test_support.h"

#include "base/paths.h"
#include "base/text.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>

namespace launchtest {

namespace {

std::map<std::wstring, std::wstring> ParseRecord(const std::wstring& text)
{
    std::map<std::wstring, std::wstring> values;
    for (const std::wstring& line : SplitFields(text, L'\n')) {
        const auto equals = line.find(L'=');
        if (equals != std::wstring::npos)
            values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

}

ClientFolder::ClientFolder()
{
    const std::wstring game = probe::BinDir() + L"\\stand_in_game.exe";
    if (!CopyFileW(game.c_str(), (temp_ / L"Main.exe").c_str(), FALSE))
        throw std::runtime_error("cannot copy the stand-in game");
}

ScopedClientRoot::ScopedClientRoot(const std::wstring& root) : previous_(ClientRoot())
{
    InstallClientRoot(root);
}

ScopedClientRoot::~ScopedClientRoot()
{
    InstallClientRoot(previous_);
}

std::optional<std::map<std::wstring, std::wstring>> ClientFolder::WaitGameRecord(DWORD timeoutMs) const
{
    const std::wstring record = temp_ / L"game_record.txt";
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!probe::FileExists(record)) {
        if (GetTickCount64() >= deadline) {
            // What the folder holds tells a game that never ran (no part file) from one that failed to move its
            // record into place.
            std::string names;
            WIN32_FIND_DATAW data;
            const UniqueFind find(FindFirstFileW((temp_ / L"*").c_str(), &data));
            if (find) {
                do {
                    names += ' ';
                    names += WideToUtf8(data.cFileName);
                } while (FindNextFileW(find.get(), &data));
            }
            ADD_FAILURE() << "no game record within " << timeoutMs << " ms; the client folder holds:" << names;
            return std::nullopt;
        }
        Sleep(50);
    }
    return ParseRecord(Utf8ToWide(probe::ReadFileBytes(record)));
}

bool ClientFolder::GameStarted() const
{
    return probe::FileExists(temp_ / L"game_record.txt");
}

ScopedConfig::ScopedConfig(LauncherConfig config) : previous_(Config())
{
    InstallConfig(std::move(config));
}

ScopedConfig::~ScopedConfig()
{
    InstallConfig(std::move(previous_));
}

StandInMainWindow::StandInMainWindow()
{
    // One window for the whole test program, restored for each test: taking a window down under the X server
    // costs seconds.
    static const UniqueWindow window(CreateWindowExW(0, L"STATIC", L"launch test", WS_OVERLAPPEDWINDOW, 40, 40,
                                                     320, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr));
    if (!window)
        throw std::runtime_error("cannot create the stand-in main window");
    ShowWindow(window.get(), SW_SHOWNORMAL);
    window_ = window.get();
}

StandInMainWindow::~StandInMainWindow() = default;

std::optional<std::wstring> EnvironmentValue(const wchar_t* name)
{
    std::vector<wchar_t> buffer(32768);
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
        return std::nullopt;
    return std::wstring(buffer.data(), length);
}

}
