// The real launcher under Wine, which has no HTML engine in the test sessions: the panel falls back to its text
// and no installer prompt or other window opens.

#include "tests/support/process_probe.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

using namespace probe;

namespace {

BOOL CALLBACK CollectVisibleTopWindow(HWND window, LPARAM param)
{
    auto* request = reinterpret_cast<std::pair<DWORD, std::vector<HWND>>*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == request->first && IsWindowVisible(window))
        request->second.push_back(window);
    return TRUE;
}

std::vector<HWND> VisibleTopWindows(DWORD processId)
{
    std::pair<DWORD, std::vector<HWND>> request{processId, {}};
    EnumWindows(CollectVisibleTopWindow, reinterpret_cast<LPARAM>(&request));
    return request.second;
}

RECT ClientRectOf(HWND parent, const RECT& screenRect)
{
    RECT rect = screenRect;
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

}

TEST(LauncherPanel, WithoutAnHtmlEngineTheFallbackTextTakesThePanelsPlaceAndNoPromptOpens)
{
    TempDir client;
    const std::wstring exe = client / L"VornLauncher.exe";
    ASSERT_TRUE(CopyFileW(LauncherExe().c_str(), exe.c_str(), FALSE));
    Process launcher = Start(exe);
    HWND window = WaitTopWindow(launcher.id, L"VornLauncherWindow", L"", 20000);
    ASSERT_NE(window, nullptr) << "the launcher showed no main window";

    const std::vector<WindowInfo> children = Children(window);
    const WindowInfo* fallback = nullptr;
    for (const WindowInfo& child : children) {
        EXPECT_NE(child.className, L"VornAnnouncementHost") << "a panel was built without an HTML engine";
        if (child.id == 207)
            fallback = &child;
    }
    ASSERT_NE(fallback, nullptr);
    EXPECT_EQ(fallback->className, L"Static");
    EXPECT_EQ(fallback->text, L"公告加载失败：系统网页组件不可用。");
    EXPECT_TRUE(fallback->visible);
    const RECT rect = ClientRectOf(window, fallback->rect);
    const RECT panel{265, 101, 775, 297};
    EXPECT_TRUE(EqualRect(&rect, &panel));

    // The panel is decided while the window is created, so a prompt would stand by the time the window shows;
    // a while longer catches one that a component opens late.
    const ULONGLONG deadline = GetTickCount64() + 3000;
    std::vector<HWND> shown{window};
    while (shown == std::vector<HWND>{window} && GetTickCount64() < deadline) {
        Sleep(100);
        shown = VisibleTopWindows(launcher.id);
    }
    EXPECT_EQ(shown, std::vector<HWND>{window}) << "another window opened beside the main window";

    EXPECT_EQ(CloseAnsweringYes(window, launcher.handle.get(), 20000), 0u);
    Kill(launcher);
}
