#include "base/message_box.h"
#include "base/unique_resource.h"

#include <gtest/gtest.h>

namespace {

struct CapturedBox {
    std::wstring text;
    std::wstring caption;
    UINT type = 0;
};
CapturedBox captured;

int CaptureBox(HWND, const std::wstring& text, const std::wstring& caption, UINT type)
{
    captured = {text, caption, type};
    return IDOK;
}

}

TEST(UniqueResource, ClosesOnceAndMoves)
{
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event);
    const HANDLE raw = event.get();
    UniqueHandle moved(std::move(event));
    EXPECT_FALSE(event);
    EXPECT_EQ(moved.get(), raw);
    moved.reset();
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(raw, &flags));  // really closed

    UniqueFile none;
    EXPECT_FALSE(none);
    EXPECT_EQ(none.get(), INVALID_HANDLE_VALUE);
}

TEST(UniqueResource, ScopedSelectPutsThePreviousObjectBack)
{
    UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
    ASSERT_TRUE(dc);
    UniqueFont font(CreateFontW(-14, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Tahoma"));
    ASSERT_TRUE(font);
    const HGDIOBJ before = GetCurrentObject(dc.get(), OBJ_FONT);
    {
        ScopedSelect select(dc.get(), font.get());
        EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_FONT), font.get());
    }
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_FONT), before);
}

TEST(UniqueResource, ScopeExitRunsUnlessDismissed)
{
    int runs = 0;
    {
        ScopeExit count([&] { ++runs; });
    }
    {
        ScopeExit skipped([&] { ++runs; });
        skipped.Dismiss();
    }
    EXPECT_EQ(runs, 1);
}

TEST(MessageBox, HookSeesTextCaptionAndIcon)
{
    const MessageBoxHook previous = SetMessageBoxHook(CaptureBox);
    EXPECT_EQ(ShowMessageBox(nullptr, L"更新失败。", L"更新失败", MB_OK | MB_ICONERROR), IDOK);
    SetMessageBoxHook(previous);
    EXPECT_EQ(captured.text, L"更新失败。");
    EXPECT_EQ(captured.caption, L"更新失败");
    EXPECT_EQ(captured.type & MB_ICONMASK, static_cast<UINT>(MB_ICONERROR));
}
