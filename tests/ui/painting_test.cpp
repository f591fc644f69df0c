#include "tests/ui/control_host.h"
#include "ui/main_window.h"
#include "ui/paint_text.h"
#include "ui/painting.h"
#include "ui/skin.h"
#include "ui/skin_drawing.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using testui::ControlHost;
using testui::DrawItemFor;
using testui::Surface;

constexpr std::array<int, 10> kGrey = {84, 139, 200, 244, 221, 179, 139, 99, 66, 45};
constexpr std::array<COLORREF, 10> kGreen = {
    RGB(16, 68, 13),  RGB(28, 124, 22), RGB(63, 197, 47), RGB(123, 250, 101), RGB(83, 219, 63),
    RGB(44, 179, 33), RGB(27, 150, 20), RGB(17, 116, 11), RGB(10, 78, 7),     RGB(7, 53, 5)};
constexpr int kLabelWidth = 494;
constexpr int kLabelHeight = 54;
constexpr int kBarRight = kLabelWidth - 8;

void SetRegions(MainWindow& window, std::initializer_list<const wchar_t*> names)
{
    window.state.regions.clear();
    for (const wchar_t* name : names)
        window.state.regions.push_back(RegionInfo{name, L"127.0.0.1", 7000, L""});
}

std::vector<COLORREF> DrawLabel(MainWindow& window, int filePercent, int overallPercent, Surface& surface)
{
    window.state.uiProgress.filePercent = filePercent;
    window.state.uiProgress.overallPercent = overallPercent;
    DRAWITEMSTRUCT item{};
    item.CtlType = ODT_STATIC;
    item.CtlID = 219;
    item.hDC = surface.dc();
    item.rcItem = RECT{0, 0, kLabelWidth, kLabelHeight};
    DrawUpdateLabel(window, item);
    return surface.Area(0, 0, kLabelWidth, kLabelHeight);
}

class PaintingTest : public ::testing::Test {
protected:
    ControlHost host;
    MainWindow& window = host.window();
};

}

TEST(PaintText, TextsAndBarWidthsOfTheFace)
{
    EXPECT_EQ(RegionNameText(false, L""), L"[无]");
    EXPECT_EQ(RegionNameText(true, L"青龙区"), L"『 青龙区 』");
    EXPECT_EQ(StatusLineText(L"正在更新", true, 37), L"正在更新  37%");
    EXPECT_EQ(StatusLineText(L"正在更新", true, 0), L"正在更新");
    EXPECT_EQ(StatusLineText(L"准备就绪。", false, 50), L"准备就绪。");
    EXPECT_EQ(ProgressFillWidth(448, 37), 165);  // 165.76 rounds toward zero
    EXPECT_EQ(ProgressFillWidth(448, 150), 448);
    EXPECT_EQ(ProgressFillWidth(448, -5), 0);
    EXPECT_EQ(PercentText(150), L"100%");
    EXPECT_EQ(PercentText(-5), L"0%");
    EXPECT_EQ(PercentText(37), L"37%");
}

TEST_F(PaintingTest, UpdateLabelRowsCarryTheTabledGreyAndGreen)
{
    Surface surface(kLabelWidth, kLabelHeight);
    for (const int percent : {0, 37, 100, 150, -5}) {
        SCOPED_TRACE(percent);
        DrawLabel(window, percent, percent, surface);
        const int fill = ProgressFillWidth(kBarRight - 38, percent);
        for (const int top : {23, 38}) {
            for (int k = 0; k < 10; ++k) {
                const int y = top + k;
                const COLORREF grey = RGB(kGrey[k], kGrey[k], kGrey[k]);
                const COLORREF green = kGreen[k];
                // Columns away from the centred percent text: both ends and both sides of the fill's edge.
                EXPECT_EQ(surface.At(38, y), fill > 0 ? green : grey) << "row " << y;
                EXPECT_EQ(surface.At(kBarRight - 1, y), fill == kBarRight - 38 ? green : grey) << "row " << y;
                if (fill > 0 && fill < kBarRight - 38) {
                    EXPECT_EQ(surface.At(38 + fill - 1, y), green) << "row " << y;
                    EXPECT_EQ(surface.At(38 + fill, y), grey) << "row " << y;
                }
            }
            EXPECT_EQ(surface.At(37, top + 4), RGB(48, 49, 48));
            EXPECT_EQ(surface.At(kBarRight, top + 4), RGB(48, 49, 48));
        }
        EXPECT_EQ(surface.At(200, 50), RGB(48, 49, 48));
        EXPECT_EQ(surface.At(200, 0), RGB(191, 191, 183));
        EXPECT_EQ(surface.At(200, kLabelHeight - 1), RGB(191, 191, 183));
    }
}

TEST_F(PaintingTest, UpdateLabelShowsTheClampedPercentText)
{
    Surface surface(kLabelWidth, kLabelHeight);
    const auto full = DrawLabel(window, 100, 100, surface);
    const auto over = DrawLabel(window, 150, 150, surface);
    const auto empty = DrawLabel(window, 0, 0, surface);
    const auto under = DrawLabel(window, -5, -5, surface);
    EXPECT_EQ(over, full);
    EXPECT_EQ(under, empty);

    // The text sits in the middle of the bar: its pixels are neither track nor bar colours.
    DrawLabel(window, 37, 37, surface);
    int textPixels = 0;
    for (int x = 230; x < 300; ++x)
        for (int k = 0; k < 10; ++k)
            if (surface.At(x, 23 + k) != RGB(kGrey[k], kGrey[k], kGrey[k]))
                ++textPixels;
    EXPECT_GT(textPixels, 10);
    const auto thirtySeven = surface.Area(0, 0, kLabelWidth, kLabelHeight);
    EXPECT_NE(DrawLabel(window, 38, 38, surface), thirtySeven);
}

TEST_F(PaintingTest, RegionNameBoxReadsNoneWithoutASelection)
{
    Surface face(1040, 665);
    PaintMainWindowTo(window, face.dc());
    const auto box = face.Area(349, 507, 205, 21);

    // What the box must show: "[无]" in green on the box's own fill over the bare face.
    Surface expected(1040, 665);
    {
        Gdiplus::Graphics graphics(expected.dc());
        ConfigureGraphics(graphics);
        Gdiplus::SolidBrush bareFace(kNoSkinWindowColour);
        graphics.FillRectangle(&bareFace, 0, 0, 1040, 665);
        Gdiplus::SolidBrush boxFill(Gdiplus::Color(245, 3, 3, 3));
        graphics.FillRectangle(&boxFill, 349, 507, 205, 21);
        DrawSkinText(graphics, L"[无]", Gdiplus::RectF(350, 506, 204, 22), Gdiplus::Color(0, 255, 35),
                     Gdiplus::FontStyleBold, Gdiplus::StringAlignmentCenter, 13);
    }
    EXPECT_EQ(box, expected.Area(349, 507, 205, 21));
    int green = 0;
    for (const COLORREF pixel : box)
        if (GetGValue(pixel) > 120 && GetRValue(pixel) < 90 && GetBValue(pixel) < 90)
            ++green;
    EXPECT_GT(green, 15);

    // Regions without a selection still read "[无]"; a selection shows the name instead.
    SetRegions(window, {L"青龙区", L"白虎区"});
    PaintMainWindowTo(window, face.dc());
    EXPECT_EQ(face.Area(349, 507, 205, 21), box);
    window.state.selectedRegion = 1;
    PaintMainWindowTo(window, face.dc());
    EXPECT_NE(face.Area(349, 507, 205, 21), box);
    window.state.selectedRegion = 5;  // out of range: no valid selection
    PaintMainWindowTo(window, face.dc());
    EXPECT_EQ(face.Area(349, 507, 205, 21), box);
}

TEST_F(PaintingTest, WithoutSkinTheFaceAndControlsUseTheTwoFillColours)
{
    ASSERT_EQ(window.skin().Image(), nullptr);  // the test program carries no skin resource
    window.skin().LoadFrom(GetModuleHandleW(nullptr));
    ASSERT_EQ(window.skin().Image(), nullptr);

    Surface face(1040, 665);
    PaintMainWindowTo(window, face.dc());
    EXPECT_EQ(face.At(5, 5), RGB(18, 17, 16));
    EXPECT_EQ(face.At(1000, 300), RGB(18, 17, 16));
    EXPECT_EQ(face.At(150, 600), RGB(18, 17, 16));
    EXPECT_EQ(face.At(500, 200), RGB(0, 0, 0));  // behind the announcement view
    EXPECT_EQ(face.At(774, 296), RGB(0, 0, 0));
    EXPECT_EQ(face.At(265, 297), RGB(18, 17, 16));  // the update label's place shows the face
    EXPECT_EQ(face.At(770, 360), RGB(18, 17, 16));

    HWND settings = host.Button(213, 421, 543, 127, 31);
    HWND region = host.Button(300, 264, 375, 165, 34);
    Surface button(200, 40);
    for (HWND control : {settings, region}) {
        DrawOwnerButton(window, DrawItemFor(control, button));
        EXPECT_EQ(button.At(1, 1), RGB(24, 20, 18));
        EXPECT_EQ(button.At(60, 17), RGB(24, 20, 18));
    }
}

TEST_F(PaintingTest, WindowedBoxIsDarkWhenUnchecked)
{
    Surface button(131, 31);
    const auto interior = [&] { return button.Area(33, 9, 9, 9); };

    window.settings.windowed = false;
    DrawOwnerButton(window, DrawItemFor(window.controls.windowedCheck, button));
    for (const COLORREF pixel : interior())
        EXPECT_EQ(pixel, RGB(30, 29, 27));

    testui::LauncherResources launcher;
    ASSERT_NE(launcher.get(), nullptr);
    window.skin().LoadFrom(launcher.get());
    ASSERT_NE(window.skin().Image(), nullptr);
    DrawOwnerButton(window, DrawItemFor(window.controls.windowedCheck, button));
    for (const COLORREF pixel : interior())
        EXPECT_EQ(pixel, RGB(30, 29, 27));
    const COLORREF frame = button.At(31, 13);
    EXPECT_GT(GetRValue(frame), 60);  // the light edge, half covered by antialiasing

    // Checked, the skin's tick shows through: the box is no longer one dark colour.
    window.settings.windowed = true;
    DrawOwnerButton(window, DrawItemFor(window.controls.windowedCheck, button));
    int tick = 0;
    for (const COLORREF pixel : interior())
        if (pixel != RGB(30, 29, 27))
            ++tick;
    EXPECT_GT(tick, 10);
}

TEST_F(PaintingTest, SkinFromTheLauncherCoversTheFace)
{
    testui::LauncherResources launcher;
    ASSERT_NE(launcher.get(), nullptr);
    window.skin().LoadFrom(launcher.get());
    Gdiplus::Image* skin = window.skin().Image();
    ASSERT_NE(skin, nullptr);
    EXPECT_EQ(skin->GetWidth(), 1040u);
    EXPECT_EQ(skin->GetHeight(), 665u);
    EXPECT_TRUE(Gdiplus::IsAlphaPixelFormat(skin->GetPixelFormat()));

    Surface face(1040, 665);
    PaintMainWindowTo(window, face.dc());
    int fallback = 0;
    for (const COLORREF pixel : face.Area(0, 70, 250, 540))
        if (pixel == RGB(18, 17, 16))
            ++fallback;
    EXPECT_LT(fallback, 250 * 540 / 10);
    EXPECT_EQ(face.At(500, 200), RGB(0, 0, 0));

    // Every region button wears the same face, wherever it sits.
    Surface first(165, 34);
    Surface last(165, 34);
    DrawOwnerButton(window, DrawItemFor(host.Button(300, 264, 375, 165, 34), first));
    DrawOwnerButton(window, DrawItemFor(host.Button(308, 612, 453, 165, 34), last));
    EXPECT_EQ(first.Area(0, 0, 165, 34), last.Area(0, 0, 165, 34));

    window.skin().Free();
    EXPECT_EQ(window.skin().Image(), nullptr);
}

TEST_F(PaintingTest, RegionAndEnterGameFacesFollowTheSelection)
{
    SetRegions(window, {L"青龙区"});
    HWND enter = host.Button(206, 575, 503, 203, 69);
    HWND region = host.Button(300, 264, 375, 165, 34);
    Surface button(203, 69);

    DrawOwnerButton(window, DrawItemFor(enter, button));
    const auto subdued = button.Area(0, 0, 203, 69);
    window.state.selectedRegion = 0;
    DrawOwnerButton(window, DrawItemFor(enter, button, ODS_DISABLED));
    EXPECT_EQ(button.Area(0, 0, 203, 69), subdued);  // disabled: no highlight even with a selection
    DrawOwnerButton(window, DrawItemFor(enter, button));
    EXPECT_NE(button.Area(0, 0, 203, 69), subdued);

    const auto yellowPixels = [&] {
        int count = 0;
        for (const COLORREF pixel : button.Area(0, 0, 165, 34))
            if (GetRValue(pixel) > 200 && GetGValue(pixel) > 190 && GetBValue(pixel) < 90)
                ++count;
        return count;
    };
    DrawOwnerButton(window, DrawItemFor(region, button));
    EXPECT_GT(yellowPixels(), 10);
    window.state.selectedRegion = -1;
    DrawOwnerButton(window, DrawItemFor(region, button));
    EXPECT_EQ(yellowPixels(), 0);
}
