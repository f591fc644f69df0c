// The real main window created in this process and driven with real messages: its controls, commands, drag
// band, close and destruction.

#include "base/unique_resource.h"
#include "tests/support/main_window_harness.h"
#include "tests/ui/control_host.h"
#include "ui/layout.h"
#include "ui/main_window.h"
#include "ui/painting.h"
#include "ui/skin.h"
#include "ui/region_list_job.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using harness::MainWindowUnderTest;
using harness::MessageBoxRecorder;

namespace {

enum class Font { None, Normal, Bold };

struct ExpectedControl {
    int id;
    const wchar_t* className;
    const wchar_t* text;
    bool visible;
    bool tabStop;
    RECT rect;  // in the main window's client area
    Font font;
};

std::vector<ExpectedControl> ExpectedControlsInCreationOrder()
{
    std::vector<ExpectedControl> controls = {
        {204, L"Button", L"官方网站", true, true, {43, 22, 142, 54}, Font::Bold},
        {210, L"Button", L"注册账号", true, true, {145, 22, 243, 54}, Font::Bold},
        {211, L"Button", L"游戏下载", true, true, {247, 22, 346, 54}, Font::Bold},
        {212, L"Button", L"赞助游戏", true, true, {699, 22, 798, 54}, Font::Bold},
        {208, L"Button", L"游戏论坛", true, true, {799, 22, 905, 54}, Font::Bold},
        {209, L"Button", L"关闭", true, false, {986, 22, 1021, 55}, Font::Normal},
        {207, L"Static", L"公告加载失败：系统网页组件不可用。", true, false, {265, 101, 775, 297}, Font::Normal},
        {219, L"Static", L"客户端文件更新", false, false, {272, 304, 766, 358}, Font::Normal},
    };
    for (int i = 0; i < 9; ++i) {
        const int x = 264 + 174 * (i % 3);
        const int y = 375 + 39 * (i / 3);
        controls.push_back({300 + i, L"Button", L"", true, true, {x, y, x + 165, y + 34}, Font::Bold});
    }
    controls.push_back({203, L"Button", L"窗口化", true, true, {290, 543, 421, 574}, Font::Bold});
    controls.push_back({213, L"Button", L"游戏设置", true, true, {421, 543, 548, 574}, Font::Bold});
    controls.push_back({206, L"Button", L"进入游戏", true, true, {575, 503, 778, 572}, Font::Bold});
    controls.push_back({201, L"Edit", L"", false, false, {0, 0, 0, 0}, Font::None});
    controls.push_back({202, L"ComboBox", L"", false, false, {0, 0, 0, 0}, Font::None});
    return controls;
}

std::wstring ClassName(HWND window)
{
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

std::wstring Text(HWND window)
{
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}

RECT ClientRect(HWND parent, HWND child)
{
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

LOGFONTW FontOf(HFONT font)
{
    LOGFONTW logFont{};
    GetObjectW(font, sizeof(logFont), &logFont);
    return logFont;
}

COLORREF BrushColour(HBRUSH brush)
{
    LOGBRUSH logBrush{};
    GetObjectW(brush, sizeof(logBrush), &logBrush);
    return logBrush.lbColor;
}

// "Windowed" in the launcher's key of this prefix's registry; 2 when it cannot be read.
DWORD StoredWindowed()
{
    DWORD value = 2;
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\VornLauncher", L"Windowed", RRF_RT_REG_DWORD, nullptr, &value,
                     &size) != ERROR_SUCCESS)
        return 2;
    return value;
}

void Click(HWND button)
{
    SendMessageW(button, BM_CLICK, 0, 0);
    harness::PumpPending();
}


}

TEST(MainWindow, CreatesEveryControlOfTheTableInOrder)
{
    MainWindowUnderTest window;
    const std::vector<ExpectedControl> expected = ExpectedControlsInCreationOrder();

    std::vector<int> order;
    for (HWND child = GetWindow(window.hwnd(), GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
        order.push_back(GetDlgCtrlID(child));
    std::vector<int> expectedOrder;
    for (const ExpectedControl& control : expected)
        expectedOrder.push_back(control.id);
    EXPECT_EQ(order, expectedOrder);

    for (const ExpectedControl& control : expected) {
        SCOPED_TRACE(control.id);
        HWND child = window.control(control.id);
        ASSERT_NE(child, nullptr);
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        EXPECT_TRUE(style & WS_CHILD);
        EXPECT_EQ((style & WS_VISIBLE) != 0, control.visible);
        EXPECT_EQ((style & WS_TABSTOP) != 0, control.tabStop);
        // The browser panel, when the system has one, stands in the fallback's place with its own class and text.
        const bool browserPanel = child == window.controls().announcementView && ClassName(child) != L"Static";
        if (!browserPanel) {
            EXPECT_EQ(ClassName(child), control.className);
        }
        if (!browserPanel && control.id != 202) {  // a drop-down list shows the selection the settings chose
            EXPECT_EQ(Text(child), control.text);
        }
        const RECT rect = ClientRect(window.hwnd(), child);
        EXPECT_EQ(rect.left, control.rect.left);
        EXPECT_EQ(rect.top, control.rect.top);
        EXPECT_EQ(rect.right, control.rect.right);
        if (control.id != 202) {  // a drop-down list keeps the height of its selection field
            EXPECT_EQ(rect.bottom, control.rect.bottom);
        }
        const auto font = reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0));
        if (control.font == Font::Bold) {
            EXPECT_EQ(font, window.object().boldFont());
        } else if (control.font == Font::Normal && !browserPanel) {
            EXPECT_EQ(font, window.object().normalFont());
        }
        if (wcscmp(control.className, L"Button") == 0) {
            EXPECT_EQ(style & BS_TYPEMASK, BS_OWNERDRAW);
        }
    }

    const LONG labelStyle = GetWindowLongW(window.controls().updateLabel, GWL_STYLE);
    EXPECT_TRUE(labelStyle & SS_NOTIFY);
    EXPECT_EQ(labelStyle & SS_TYPEMASK, SS_OWNERDRAW);
    EXPECT_TRUE(GetWindowLongW(window.controls().accountEdit, GWL_STYLE) & ES_AUTOHSCROLL);
    const LONG comboStyle = GetWindowLongW(window.controls().resolutionCombo, GWL_STYLE);
    EXPECT_EQ(comboStyle & 3, CBS_DROPDOWNLIST);
    EXPECT_TRUE(comboStyle & CBS_HASSTRINGS);
    const std::vector<std::wstring> resolutions = {L"1366 x 768", L"1440 x 900", L"1600 x 900", L"1680 x 1050",
                                                   L"1920 x 1080"};
    ASSERT_EQ(SendMessageW(window.controls().resolutionCombo, CB_GETCOUNT, 0, 0), 5);
    for (int i = 0; i < 5; ++i) {
        wchar_t item[32] = {};
        SendMessageW(window.controls().resolutionCombo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item));
        EXPECT_EQ(item, resolutions[static_cast<std::size_t>(i)]);
    }

    EXPECT_EQ(window.controls().downloadButton, window.control(211));
    EXPECT_EQ(window.controls().enterGameButton, window.control(206));
    EXPECT_EQ(window.controls().windowedCheck, window.control(203));
    EXPECT_FALSE(IsWindowEnabled(window.controls().enterGameButton)) << "no region is chosen yet";
}

// Showing a window erases it and its buttons, and the system may put that on the screen before anything is
// painted: a new window's first frame did, black with pale boxes where the buttons go. The erase lays the face
// the paint then draws, under the buttons too, and each button's erase paints the face it is then drawn with.
TEST(MainWindow, FirstFrameShowsTheFaceBeforeAnythingIsPainted)
{
    MainWindowUnderTest window;
    const testui::LauncherResources launcher;
    ASSERT_NE(launcher.get(), nullptr);
    window.object().skin().LoadFrom(launcher.get());
    ASSERT_NE(window.object().skin().Image(), nullptr);
    testui::Surface face(kWindowWidth, kWindowHeight);
    PaintMainWindowTo(window.object(), face.dc());

    ShowWindow(window.hwnd(), SW_SHOWNOACTIVATE);
    // What the window holds now, before any paint: read through a device context the controls do not clip.
    HDC whole = GetDCEx(window.hwnd(), nullptr, DCX_CACHE);
    for (const POINT point : {POINT{40, 23}, POINT{600, 40}, POINT{565, 627}}) {
        EXPECT_EQ(GetPixel(whole, point.x, point.y), face.At(point.x, point.y)) << point.x << ", " << point.y;
    }
    for (const int id : {204, 209, 213, 206}) {
        const RECT place = ClientRect(window.hwnd(), window.control(id));
        const int x = (place.left + place.right) / 2;
        const int y = (place.top + place.bottom) / 2;
        EXPECT_EQ(GetPixel(whole, x, y), face.At(x, y)) << "the place of control " << id;
    }
    ReleaseDC(window.hwnd(), whole);

    // The buttons whose drawing adds nothing to the face in their first state.
    for (const int id : {204, 210, 211, 212, 208, 209, 213}) {
        SCOPED_TRACE(id);
        HWND button = window.control(id);
        RECT client{};
        GetClientRect(button, &client);
        testui::Surface erased(client.right, client.bottom);
        testui::Surface drawn(client.right, client.bottom);
        SendMessageW(button, WM_ERASEBKGND, reinterpret_cast<WPARAM>(erased.dc()), 0);
        DrawOwnerButton(window.object(), testui::DrawItemFor(button, drawn));
        // Inside the edges, where the drawing's filter reads no neighbour from beyond the button.
        const int width = client.right - 4;
        const int height = client.bottom - 4;
        EXPECT_EQ(erased.Area(2, 2, width, height), drawn.Area(2, 2, width, height));
    }
}

TEST(MainWindow, FontsBrushesAndRoundedShape)
{
    MainWindowUnderTest window;
    const LOGFONTW normal = FontOf(window.object().normalFont());
    const LOGFONTW bold = FontOf(window.object().boldFont());
    EXPECT_STREQ(normal.lfFaceName, L"Microsoft YaHei UI");
    EXPECT_EQ(normal.lfHeight, -14);
    EXPECT_EQ(normal.lfWeight, 400);
    EXPECT_EQ(normal.lfQuality, CLEARTYPE_QUALITY);
    EXPECT_STREQ(bold.lfFaceName, L"Microsoft YaHei UI");
    EXPECT_EQ(bold.lfHeight, -14);
    EXPECT_EQ(bold.lfWeight, 600);
    EXPECT_EQ(BrushColour(window.object().whiteBrush()), RGB(255, 255, 255));

    UniqueRegion shape(CreateRectRgn(0, 0, 0, 0));
    ASSERT_NE(GetWindowRgn(window.hwnd(), shape.get()), ERROR);
    EXPECT_FALSE(PtInRegion(shape.get(), 0, 0)) << "the corners are rounded";
    EXPECT_FALSE(PtInRegion(shape.get(), 1039, 664));
    EXPECT_TRUE(PtInRegion(shape.get(), 6, 6));
    EXPECT_TRUE(PtInRegion(shape.get(), 520, 0));
    EXPECT_TRUE(PtInRegion(shape.get(), 1039, 332));
    EXPECT_TRUE(PtInRegion(shape.get(), 520, 664));

    // The colours the window hands to its edit, list and button children.
    UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
    EXPECT_EQ(SendMessageW(window.hwnd(), WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc.get()),
                           reinterpret_cast<LPARAM>(window.controls().accountEdit)),
              reinterpret_cast<LRESULT>(window.object().whiteBrush()));
    EXPECT_EQ(GetTextColor(dc.get()), RGB(36, 77, 98));
    EXPECT_EQ(GetBkColor(dc.get()), RGB(255, 255, 255));
    EXPECT_EQ(SendMessageW(window.hwnd(), WM_CTLCOLORBTN, reinterpret_cast<WPARAM>(dc.get()),
                           reinterpret_cast<LPARAM>(window.controls().windowedCheck)),
              reinterpret_cast<LRESULT>(window.object().skin().EraseBrush()));
    EXPECT_EQ(GetTextColor(dc.get()), RGB(51, 91, 111));
    EXPECT_EQ(GetBkColor(dc.get()), RGB(248, 252, 254));
    SetTextColor(dc.get(), RGB(1, 2, 3));
    EXPECT_EQ(SendMessageW(window.hwnd(), WM_CTLCOLORLISTBOX, reinterpret_cast<WPARAM>(dc.get()), 0),
              reinterpret_cast<LRESULT>(window.object().whiteBrush()));
    EXPECT_EQ(GetTextColor(dc.get()), RGB(1, 2, 3));
    EXPECT_EQ(SendMessageW(window.hwnd(), WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc.get()), 0), 1);
}

TEST(MainWindow, AnnouncementFallbackWearsThePagesColours)
{
    MainWindowUnderTest window;
    HWND fallback = window.control(207);
    ASSERT_EQ(ClassName(fallback), L"Static") << "these sessions have no HTML engine";

    // The text control paints into a bitmap as it does on the screen, taking its colours from the window.
    testui::Surface surface(510, 196);
    SetDCBrushColor(surface.dc(), RGB(90, 60, 30));
    const RECT all{0, 0, 510, 196};
    FillRect(surface.dc(), &all, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
    SendMessageW(fallback, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(surface.dc()), PRF_CLIENT);

    int black = 0;
    int white = 0;
    for (const COLORREF pixel : surface.Area(0, 0, 510, 196)) {
        black += pixel == RGB(0, 0, 0) ? 1 : 0;
        white += GetRValue(pixel) > 220 && GetGValue(pixel) > 220 && GetBValue(pixel) > 220 ? 1 : 0;
    }
    EXPECT_GT(black, 510 * 196 * 9 / 10) << "the page's black background";
    EXPECT_EQ(surface.At(509, 195), RGB(0, 0, 0));
    EXPECT_GT(white, 30) << "the text in the page's white";
}

TEST(MainWindow, TopBandDragsTheWindow)
{
    MainWindowUnderTest window;
    RECT frame{};
    GetWindowRect(window.hwnd(), &frame);
    auto hit = [&](int x, int y) {
        return SendMessageW(window.hwnd(), WM_NCHITTEST, 0, MAKELPARAM(frame.left + x, frame.top + y));
    };
    EXPECT_EQ(hit(500, 0), HTCAPTION);
    EXPECT_EQ(hit(500, 68), HTCAPTION);
    EXPECT_EQ(hit(500, 69), HTCLIENT);
    EXPECT_EQ(hit(500, 400), HTCLIENT);
    EXPECT_EQ(hit(-5, 30), HTNOWHERE) << "answers outside the client area pass through";
}

TEST(MainWindow, RegionClicks)
{
    MainWindowUnderTest window;
    window.DeliverRegionList(harness::RegionsNamed({L"岚谷一区", L"岚谷二区"}));
    ASSERT_EQ(Text(window.controls().regionButtons[1]), L"岚谷二区");
    const std::wstring listedText = window.state().statusText;

    // A slot without a region changes nothing.
    Click(window.controls().regionButtons[5]);
    EXPECT_EQ(window.state().selectedRegion, -1);
    EXPECT_EQ(window.state().statusText, listedText);
    EXPECT_FALSE(IsWindowEnabled(window.controls().enterGameButton));

    Click(window.controls().regionButtons[1]);
    EXPECT_EQ(window.state().selectedRegion, 1);
    EXPECT_EQ(window.state().statusText, L"已选择游戏分区：岚谷二区");
    EXPECT_TRUE(IsWindowEnabled(window.controls().enterGameButton));

    // While work runs the choice is taken, but the launch stays locked.
    window.state().busy = true;
    Click(window.controls().regionButtons[0]);
    EXPECT_EQ(window.state().selectedRegion, 0);
    EXPECT_EQ(window.state().statusText, L"已选择游戏分区：岚谷一区");
    EXPECT_FALSE(IsWindowEnabled(window.controls().enterGameButton));
}

TEST(MainWindow, WindowedButtonFlipsAndSavesAtOnceAndTheDestructionSavesToo)
{
    MainWindowUnderTest window;
    window.object().settings.windowed = false;
    Click(window.controls().windowedCheck);
    EXPECT_TRUE(window.object().settings.windowed);
    EXPECT_EQ(StoredWindowed(), 1u) << "the toggle is saved at once";
    Click(window.controls().windowedCheck);
    EXPECT_FALSE(window.object().settings.windowed);
    EXPECT_EQ(StoredWindowed(), 0u);

    // Other ids, notifications of the hidden controls among them, do nothing.
    EXPECT_EQ(SendMessageW(window.hwnd(), WM_COMMAND, MAKEWPARAM(202, CBN_SELCHANGE), 0), 0);
    EXPECT_EQ(SendMessageW(window.hwnd(), WM_COMMAND, MAKEWPARAM(4242, 0), 0), 0);
    EXPECT_FALSE(window.object().settings.windowed);

    window.object().settings.windowed = true;
    EXPECT_EQ(StoredWindowed(), 0u);
    DestroyWindow(window.hwnd());
    EXPECT_EQ(StoredWindowed(), 1u) << "the destruction saved the settings";
}

TEST(MainWindow, UpdateCommandsStartAnUpdateCheck)
{
    MessageBoxRecorder boxes({IDOK});  // a failed check the player asked for is reported in a box
    MainWindowUnderTest window;
    auto settle = [&] {
        return harness::PumpUntil([&] { return !window.state().updateRunning && !window.state().busy; }, 30000);
    };

    // The label is a retry button only after a failure.
    window.state().autoUpdatePending = true;
    SendMessageW(window.hwnd(), WM_COMMAND, MAKEWPARAM(219, STN_CLICKED),
                 reinterpret_cast<LPARAM>(window.controls().updateLabel));
    EXPECT_TRUE(window.state().autoUpdatePending) << "no failure, no check";
    window.state().updateFailed = true;
    SendMessageW(window.hwnd(), WM_COMMAND, MAKEWPARAM(219, STN_CLICKED),
                 reinterpret_cast<LPARAM>(window.controls().updateLabel));
    EXPECT_FALSE(window.state().autoUpdatePending) << "the check started";
    ASSERT_TRUE(settle());

    window.state().autoUpdatePending = true;
    Click(window.controls().downloadButton);
    EXPECT_FALSE(window.state().autoUpdatePending) << "the download button started a check";
    ASSERT_TRUE(settle());
}

TEST(MainWindow, CloseWhenIdleDestroysAtOnceAndReleasesEverything)
{
    MessageBoxRecorder boxes({IDNO});
    MainWindowUnderTest window;
    const HFONT font = window.object().normalFont();
    const HBRUSH brush = window.object().whiteBrush();
    SendMessageW(window.control(209), BM_CLICK, 0, 0);
    EXPECT_TRUE(window.exists()) << "the button posts its close request";
    EXPECT_TRUE(harness::PumpPending()) << "the destruction ends the message loop with exit code 0";
    EXPECT_FALSE(window.exists());
    EXPECT_TRUE(boxes.calls().empty());
    EXPECT_EQ(MainWindow::From(window.hwnd()), nullptr) << "the window's object went with it";
    EXPECT_EQ(GetObjectType(font), 0u) << "the font was deleted";
    EXPECT_EQ(GetObjectType(brush), 0u) << "the brush was deleted";
}

TEST(MainWindow, CloseWhileBusyAsksFirst)
{
    MessageBoxRecorder boxes({IDNO, IDYES});
    MainWindowUnderTest window;
    window.state().busy = true;

    SendMessageW(window.hwnd(), WM_CLOSE, 0, 0);
    ASSERT_EQ(boxes.calls().size(), 1u);
    EXPECT_TRUE(window.exists()) << "No keeps the window";
    EXPECT_EQ(boxes.calls()[0].text, L"当前操作尚未完成，确定关闭登录器吗？");
    EXPECT_EQ(boxes.calls()[0].caption, L"确认退出");
    EXPECT_EQ(boxes.calls()[0].type, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
    EXPECT_EQ(boxes.calls()[0].owner, window.hwnd());

    // Only a region list loads: Yes closes at once.
    SendMessageW(window.hwnd(), WM_CLOSE, 0, 0);
    EXPECT_EQ(boxes.calls().size(), 2u);
    EXPECT_FALSE(window.exists());
}

TEST(MainWindow, EachWindowKeepsItsOwnStateAndSettings)
{
    MainWindowUnderTest first;
    MainWindowUnderTest second;
    const std::wstring secondStatus = second.state().statusText;
    first.DeliverRegionList(harness::RegionsNamed({L"岚谷一区"}));
    Click(first.controls().regionButtons[0]);
    first.state().busy = true;
    const int storedResolution = second.object().settings.resolutionIndex;
    first.object().settings.resolutionIndex = (storedResolution + 1) % kResolutionCount;

    EXPECT_EQ(first.state().selectedRegion, 0);
    EXPECT_EQ(second.state().selectedRegion, -1);
    EXPECT_TRUE(second.state().regions.empty());
    EXPECT_EQ(Text(second.controls().regionButtons[0]), L"");
    EXPECT_EQ(second.state().statusText, secondStatus);
    EXPECT_EQ(second.object().settings.resolutionIndex, storedResolution);

    // The second window's jobs run while the first holds its own slot.
    StartRegionListLoad(second.object());
    EXPECT_TRUE(second.state().busy);
    ASSERT_TRUE(harness::PumpUntil([&] { return !second.state().busy; }, 15000));
    EXPECT_TRUE(first.state().busy);
    first.state().busy = false;
    first.object().settings.resolutionIndex = storedResolution;  // both save at their end
}
