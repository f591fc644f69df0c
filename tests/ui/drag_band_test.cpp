// The drag band with real mouse input: pressing in the top band and moving drags the window.

#include "tests/support/main_window_harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

void SendMouse(DWORD flags, int x, int y)
{
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = MulDiv(x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
    input.mi.dy = MulDiv(y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
    input.mi.dwFlags = flags | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE;
    SendInput(1, &input, sizeof(input));
    Sleep(20);
}

POINT Origin(HWND window)
{
    RECT frame{};
    GetWindowRect(window, &frame);
    return {frame.left, frame.top};
}

// Presses at (x, y) of the window, drags by (60, 40) and releases; returns how far the window moved. A move
// runs a modal loop on the window's thread, so the hand on the mouse is another thread.
POINT Drag(HWND window, int x, int y)
{
    const POINT before = Origin(window);
    const int startX = before.x + x;
    const int startY = before.y + y;
    std::atomic<bool> released{false};
    std::thread hand([&] {
        SendMouse(0, startX, startY);
        SendMouse(MOUSEEVENTF_LEFTDOWN, startX, startY);
        for (int step = 1; step <= 10; ++step)
            SendMouse(0, startX + 6 * step, startY + 4 * step);
        SendMouse(MOUSEEVENTF_LEFTUP, startX + 60, startY + 40);
        released = true;
    });
    harness::PumpUntil([&] { return released.load(); }, 5000);
    hand.join();
    harness::PumpUntil([&] { return Origin(window).y != before.y; }, 1000);
    const POINT after = Origin(window);
    return {after.x - before.x, after.y - before.y};
}

}

TEST(DragBand, OnlyTheTopBandMovesTheWindow)
{
    harness::MainWindowUnderTest window({.automaticUpdate = false, .shown = true});
    SetForegroundWindow(window.hwnd());

    const POINT moved = Drag(window.hwnd(), 500, 68);
    EXPECT_EQ(moved.x, 60);
    EXPECT_EQ(moved.y, 40);

    const POINT stayed = Drag(window.hwnd(), 500, 80);
    EXPECT_EQ(stayed.x, 0) << "below the band the face does not move the window";
    EXPECT_EQ(stayed.y, 0);
}
