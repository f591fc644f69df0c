// Lets scripts on the build machine see what a player sees: `window_probe.exe` prints every visible top-level
// window of the Wine session (and every launcher main window, even hidden or minimised) as one JSON object per
// line, UTF-8, with its children's classes, texts, states and screen rectangles. `window_probe.exe press HWND ID`
// presses a button of a dialog; `window_probe.exe kill PID` ends a process that a script found by its window
// and cannot reach otherwise (one started by another Windows program).

#include "base/text.h"
#include "tests/support/process_probe.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void AppendQuoted(std::string& out, const std::wstring& text)
{
    out.push_back('"');
    for (const char c : WideToUtf8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out.append(escaped);
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
}

void AppendNumber(std::string& out, const char* name, long long value)
{
    out.append(",\"").append(name).append("\":").append(std::to_string(value));
}

void AppendFlag(std::string& out, const char* name, bool value)
{
    out.append(",\"").append(name).append("\":").append(value ? "true" : "false");
}

void AppendWindow(std::string& out, const probe::WindowInfo& info)
{
    out.append("\"hwnd\":").append(std::to_string(reinterpret_cast<UINT_PTR>(info.hwnd)));
    AppendNumber(out, "id", info.id);
    out.append(",\"class\":");
    AppendQuoted(out, info.className);
    out.append(",\"text\":");
    AppendQuoted(out, info.text);
    AppendFlag(out, "visible", IsWindowVisible(info.hwnd) != FALSE);
    AppendFlag(out, "enabled", IsWindowEnabled(info.hwnd) != FALSE);
    out.append(",\"rect\":[");
    for (const LONG edge : {info.rect.left, info.rect.top, info.rect.right, info.rect.bottom})
        out.append(std::to_string(edge)).push_back(',');
    out.back() = ']';
}

BOOL CALLBACK CollectTopWindow(HWND window, LPARAM param)
{
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

int Dump()
{
    std::vector<HWND> windows;
    EnumWindows(CollectTopWindow, reinterpret_cast<LPARAM>(&windows));
    std::string out;
    for (HWND window : windows) {
        const probe::WindowInfo info = probe::Describe(window);
        if (!IsWindowVisible(window) && info.className != L"VornLauncherWindow")
            continue;
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        out.push_back('{');
        AppendWindow(out, info);
        AppendNumber(out, "pid", processId);
        AppendFlag(out, "iconic", IsIconic(window) != FALSE);
        out.append(",\"children\":[");
        for (const probe::WindowInfo& child : probe::Children(window)) {
            out.push_back('{');
            AppendWindow(out, child);
            out.append("},");
        }
        if (out.back() == ',')
            out.pop_back();
        out += "]}\n";
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

}

int main(int argc, char** argv)
{
    if (argc == 1)
        return Dump();
    if (argc == 4 && std::string(argv[1]) == "press") {
        HWND dialog = reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::strtoull(argv[2], nullptr, 10)));
        return probe::PressButton(dialog, static_cast<int>(std::strtol(argv[3], nullptr, 10))) ? 0 : 1;
    }
    if (argc == 3 && std::string(argv[1]) == "kill") {
        const auto processId = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
        UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
        return process && TerminateProcess(process.get(), 1) ? 0 : 1;
    }
    std::fputs("usage: window_probe.exe [press HWND BUTTON_ID | kill PROCESS_ID]\n", stderr);
    return 2;
}
