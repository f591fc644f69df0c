#include "tests/support/process_probe.h"

#include "base/text.h"

#include <rpc.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace probe {

namespace {

std::wstring WindowText(HWND window)
{
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
    return text;
}

std::wstring ClassOf(HWND window)
{
    wchar_t name[256] = {};
    const int length = GetClassNameW(window, name, 256);
    return std::wstring(name, static_cast<std::size_t>(length > 0 ? length : 0));
}

struct FindRequest {
    DWORD processId;
    const std::wstring* className;
    const std::wstring* caption;
    HWND found;
};

BOOL CALLBACK FindTopWindowCallback(HWND window, LPARAM param)
{
    auto* request = reinterpret_cast<FindRequest*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if ((request->processId != 0 && owner != request->processId) || !IsWindowVisible(window))
        return TRUE;
    if (!request->className->empty() && ClassOf(window) != *request->className)
        return TRUE;
    if (!request->caption->empty() && WindowText(window) != *request->caption)
        return TRUE;
    request->found = window;
    return FALSE;
}

BOOL CALLBACK CollectChildCallback(HWND window, LPARAM param)
{
    reinterpret_cast<std::vector<WindowInfo>*>(param)->push_back(Describe(window));
    return TRUE;
}

}

std::wstring BinDir()
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    std::wstring path(buffer.data(), length);
    return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring LauncherExe()
{
    return BinDir() + L"\\VornLauncher.exe";
}

TempDir::TempDir()
{
    wchar_t base[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, base);
    UUID uuid{};
    UuidCreate(&uuid);
    RPC_WSTR text = nullptr;
    UuidToStringW(&uuid, &text);
    path_ = std::wstring(base) + L"vorn-test-" + reinterpret_cast<wchar_t*>(text);
    RpcStringFreeW(&text);
    if (!CreateDirectoryW(path_.c_str(), nullptr))
        throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir()
{
    RemoveTree(path_);
}

void RemoveTree(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    // A link is removed itself; what it points to is not ours.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW data;
        UniqueFind find(FindFirstFileW((path + L"\\*").c_str(), &data));
        if (find) {
            do {
                const std::wstring name = data.cFileName;
                if (name != L"." && name != L"..")
                    RemoveTree(path + L"\\" + name);
            } while (FindNextFileW(find.get(), &data));
        }
        find.reset();
        RemoveDirectoryW(path.c_str());
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(path.c_str());
    } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    }
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write a test file");
}

std::string ReadFileBytes(const std::wstring& path)
{
    // Sharing delete as well: a file another program has just moved into place may still be open for that move
    // (MoveFileEx renames through a handle with delete access), and an open that refused to share with it would
    // fail.
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        throw std::runtime_error("cannot open a test file, error " + std::to_string(GetLastError()));
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (true) {
        if (!ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr))
            throw std::runtime_error("cannot read a test file, error " + std::to_string(GetLastError()));
        if (read == 0)
            return bytes;
        bytes.append(buffer, read);
    }
}

Process Start(const std::wstring& exe, const std::wstring& arguments, const std::wstring& workDir)
{
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!arguments.empty())
        commandLine += L" " + arguments;
    const std::wstring directory = workDir.empty() ? exe.substr(0, exe.find_last_of(L'\\')) : workDir;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(),
                        &startup, &info))
        throw std::runtime_error("CreateProcessW failed with error " + std::to_string(GetLastError()) + " for " +
                                 WideToUtf8(exe));
    CloseHandle(info.hThread);
    Process process;
    process.handle.reset(info.hProcess);
    process.id = info.dwProcessId;
    return process;
}

DWORD WaitExit(const Process& process, DWORD timeoutMs)
{
    if (WaitForSingleObject(process.handle.get(), timeoutMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.handle.get(), &code);
    return code;
}

void Kill(Process& process)
{
    if (process.handle && WaitForSingleObject(process.handle.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process.handle.get(), 99);
        WaitForSingleObject(process.handle.get(), 5000);
    }
}

WindowInfo Describe(HWND window)
{
    WindowInfo info;
    info.hwnd = window;
    info.className = ClassOf(window);
    info.text = WindowText(window);
    info.id = GetDlgCtrlID(window);
    GetWindowRect(window, &info.rect);
    info.visible = IsWindowVisible(window) != FALSE;
    info.style = GetWindowLongW(window, GWL_STYLE);
    return info;
}

HWND FindTopWindow(DWORD processId, const std::wstring& className, const std::wstring& caption)
{
    FindRequest request{processId, &className, &caption, nullptr};
    EnumWindows(FindTopWindowCallback, reinterpret_cast<LPARAM>(&request));
    return request.found;
}

HWND WaitTopWindow(DWORD processId, const std::wstring& className, const std::wstring& caption, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (HWND found = FindTopWindow(processId, className, caption))
            return found;
        if (GetTickCount64() >= deadline)
            return nullptr;
        Sleep(50);
    }
}

std::vector<WindowInfo> Children(HWND parent)
{
    std::vector<WindowInfo> children;
    EnumChildWindows(parent, CollectChildCallback, reinterpret_cast<LPARAM>(&children));
    return children;
}

MessageBoxInfo WaitMessageBox(DWORD processId, DWORD timeoutMs)
{
    MessageBoxInfo box;
    box.hwnd = WaitTopWindow(processId, L"#32770", L"", timeoutMs);
    if (box.hwnd == nullptr)
        return box;
    box.caption = WindowText(box.hwnd);
    // The message is the static text with the longest content; the icon is a static without text.
    for (const WindowInfo& child : Children(box.hwnd)) {
        if (_wcsicmp(child.className.c_str(), L"Static") == 0 && child.text.size() > box.text.size())
            box.text = child.text;
    }
    return box;
}

bool PressButton(HWND dialog, int buttonId)
{
    HWND button = GetDlgItem(dialog, buttonId);
    if (button == nullptr)
        return false;
    return PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), reinterpret_cast<LPARAM>(button)) != 0;
}

DWORD CloseAnsweringYes(HWND window, HANDLE process, DWORD timeoutMs)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    PostMessageW(window, WM_CLOSE, 0, 0);
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (WaitForSingleObject(process, 100) == WAIT_TIMEOUT) {
        if (GetTickCount64() >= deadline)
            return STILL_ACTIVE;
        if (HWND box = FindTopWindow(processId, L"#32770", L""))
            PressButton(box, IDYES);
    }
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    return code;
}

bool StartLinuxProgram(const std::wstring& program, const std::wstring& arguments, const std::wstring& workDir)
{
    std::wstring application = L"Z:" + program;
    std::replace(application.begin(), application.end(), L'/', L'\\');
    std::wstring commandLine = program + L" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    // Wine runs a Linux program outside of Windows: there is no process or thread object, and the handles it
    // reports are whatever its stack held. Closing them closes handles of this process that happen to carry those
    // numbers (a registry root key, Winsock's own event), and every later call on those fails; so they are never
    // touched.
    PROCESS_INFORMATION notHandles{};
    return CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          workDir.empty() ? nullptr : workDir.c_str(), &startup, &notHandles) != FALSE;
}

std::wstring FindTool(const std::wstring& name)
{
    std::wstring folder = BinDir();
    while (!folder.empty()) {
        const std::wstring candidate = folder + L"\\tools\\" + name;
        if (FileExists(candidate))
            return candidate;
        const std::size_t cut = folder.find_last_of(L'\\');
        folder = cut == std::wstring::npos ? std::wstring() : folder.substr(0, cut);
    }
    return {};
}

std::wstring UnixPathOf(const std::wstring& windowsPath)
{
    // Wine's own export, declared there as `char* CDECL wine_get_unix_file_name(const WCHAR*)`. The system hands
    // every export out as one generic type; the cast through the type that stands for any function says that
    // this declaration, convention included, is ours to get right.
    using Convert = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr)
        return {};
    char* unixPath = convert(windowsPath.c_str());
    if (unixPath == nullptr)
        return {};
    std::wstring result = Utf8ToWide(unixPath);
    HeapFree(GetProcessHeap(), 0, unixPath);
    return result;
}

// A Linux program leaves no process to wait for, so the script writes its exit status into a file last.
int RunUnixShell(const TempDir& folder, const std::string& script, DWORD timeoutMs)
{
    const std::wstring status = folder / L"status";
    DeleteFileW(status.c_str());
    WriteFileBytes(folder / L"run.sh", "cd '" + WideToUtf8(UnixPathOf(folder.path())) + "'\n" + script +
                                           "\necho $? > status.tmp && mv status.tmp status\n");
    if (!StartLinuxProgram(L"/bin/sh", L"run.sh", folder.path()))
        return -1;
    for (const ULONGLONG end = GetTickCount64() + timeoutMs; GetTickCount64() < end; Sleep(50)) {
        if (FileExists(status))
            return std::stoi(ReadFileBytes(status));
    }
    return -1;
}

}
