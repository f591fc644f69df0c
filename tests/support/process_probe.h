#pragma once

// Watching other programs from outside: start them, find their windows, read texts, press buttons. Works
// across processes because every program of a test run shares one wineserver.

#include "base/unique_resource.h"

#include <windows.h>

#include <string>
#include <vector>

namespace probe {

// The folder of the running test program; the launcher and the helper programs are built next to it.
std::wstring BinDir();
std::wstring LauncherExe();

// A fresh folder under the temporary directory, removed with everything in it at scope exit.
class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

void RemoveTree(const std::wstring& path);
bool FileExists(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
// The whole file; throws when it cannot be opened or read (a failed read never passes for an empty file).
std::string ReadFileBytes(const std::wstring& path);

struct Process {
    UniqueHandle handle;
    DWORD id = 0;
};

// Starts `exe` with `arguments` appended to its quoted path; the working directory defaults to the exe's folder.
Process Start(const std::wstring& exe, const std::wstring& arguments = L"", const std::wstring& workDir = L"");
// The exit code, or STILL_ACTIVE when the process did not end within the time.
DWORD WaitExit(const Process& process, DWORD timeoutMs);
void Kill(Process& process);

struct WindowInfo {
    HWND hwnd = nullptr;
    std::wstring className;
    std::wstring text;
    int id = 0;
    RECT rect{};  // screen coordinates
    bool visible = false;
    LONG style = 0;
};

WindowInfo Describe(HWND window);

// The first visible top-level window of the process (0: any process) with this class (empty: any) and caption
// (empty: any).
HWND FindTopWindow(DWORD processId, const std::wstring& className, const std::wstring& caption);
HWND WaitTopWindow(DWORD processId, const std::wstring& className, const std::wstring& caption, DWORD timeoutMs);

std::vector<WindowInfo> Children(HWND parent);

// A system message box of the process: its caption, its text and its buttons.
struct MessageBoxInfo {
    HWND hwnd = nullptr;
    std::wstring caption;
    std::wstring text;
};
MessageBoxInfo WaitMessageBox(DWORD processId, DWORD timeoutMs);
// Presses the button with this id (IDOK, IDYES, ...) the way a click would.
bool PressButton(HWND dialog, int buttonId);

// Closes a window the way a player does and answers "yes" when the program asks to confirm (it asks while it
// is still loading or updating). The exit code of `process`, or STILL_ACTIVE when it did not end in time.
DWORD CloseAnsweringYes(HWND window, HANDLE process, DWORD timeoutMs);

// The Unix path of a Windows path (Wine's own mapping), for arguments handed to Linux programs.
std::wstring UnixPathOf(const std::wstring& windowsPath);

// The nearest tools\<name> above the test programs' folder (the checkout's tools); empty when there is none.
std::wstring FindTool(const std::wstring& name);

// Runs a shell script (UTF-8) with the Linux /bin/sh beside Wine, in `folder`, where it leaves run.sh and status,
// and returns its exit status, or -1 when it could not start or did not finish within `timeoutMs`.
int RunUnixShell(const TempDir& folder, const std::string& script, DWORD timeoutMs = 30000);

// Starts a Linux program of the build machine (`program` is its Unix path) with the command line `arguments`, in
// `workDir` (default: the current folder). False when it could not be started. Wine gives no usable handle for a
// Linux program, so there is nothing to wait on: callers look for what the program makes.
bool StartLinuxProgram(const std::wstring& program, const std::wstring& arguments,
                       const std::wstring& workDir = L"");

}
