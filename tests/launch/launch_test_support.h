#pragma once

// What the launch tests share: a client folder with the stand-in game as its executable, a plain top-level
// window standing in for the main window, a recorder for message boxes, and for the tests through the launcher's
// own window a scoped configuration and client root.

#include "base/config.h"
#include "base/unique_resource.h"
#include "tests/support/message_box_recorder.h"
#include "tests/support/process_probe.h"

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace launchtest {

// A fresh client root with the stand-in game copied in as "Main.exe".
class ClientFolder {
public:
    ClientFolder();
    ClientFolder(const ClientFolder&) = delete;
    ClientFolder& operator=(const ClientFolder&) = delete;

    const std::wstring& root() const { return temp_.path(); }
    std::wstring operator/(const std::wstring& name) const { return temp_ / name; }
    std::wstring ConnectFile() const { return temp_ / L"Data\\Local\\Connect.msil"; }

    // What the stand-in game recorded ("command_line", "working_directory" and the VORN_ variables it saw),
    // once it has written it; nothing when no game wrote a record within the time.
    std::optional<std::map<std::wstring, std::wstring>> WaitGameRecord(DWORD timeoutMs) const;
    bool GameStarted() const;

private:
    probe::TempDir temp_;
};

// The process's client root, which the launcher's window reads, for the object's life.
class ScopedClientRoot {
public:
    explicit ScopedClientRoot(const std::wstring& root);
    ScopedClientRoot(const ScopedClientRoot&) = delete;
    ScopedClientRoot& operator=(const ScopedClientRoot&) = delete;
    ~ScopedClientRoot();

private:
    std::wstring previous_;
};

// The configuration the launcher's window reads; the one installed before comes back at scope exit.
class ScopedConfig {
public:
    explicit ScopedConfig(LauncherConfig config);
    ScopedConfig(const ScopedConfig&) = delete;
    ScopedConfig& operator=(const ScopedConfig&) = delete;
    ~ScopedConfig();

private:
    LauncherConfig previous_;
};

// A visible, not minimised top-level window standing in for the main window as the owner of messages.
class StandInMainWindow {
public:
    StandInMainWindow();
    StandInMainWindow(const StandInMainWindow&) = delete;
    StandInMainWindow& operator=(const StandInMainWindow&) = delete;
    ~StandInMainWindow();
    HWND get() const { return window_; }

private:
    HWND window_ = nullptr;
};

// Answers every message box with OK and keeps what it was asked to show.
using probe::MessageBoxRecorder;
using MessageBoxCall = probe::ShownMessageBox;

// The value of an environment variable of this process, or nothing when it is not set.
std::optional<std::wstring> EnvironmentValue(const wchar_t* name);

}
