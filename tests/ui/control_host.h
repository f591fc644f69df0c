#pragma once

// A small stand-in for the main window: a parent with the controls that painting and settings read, held by a
// main-window object in the parent's user data for the life of the object, and GDI+ started. The real main
// window's procedure is not used.

#include "ui/controls.h"
#include "ui/main_window.h"

#include <windows.h>

#include <gdiplus.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace testui {

class ControlHost {
public:
    ControlHost();
    ControlHost(const ControlHost&) = delete;
    ControlHost& operator=(const ControlHost&) = delete;
    ~ControlHost();

    HWND parent() const { return parent_; }
    // The main-window object the parent carries, with a fresh state.
    MainWindow& window() const { return *window_; }
    // A child BUTTON with an id and rectangle of the main window's table, created on demand.
    HWND Button(int id, int x, int y, int width, int height);

private:
    ULONG_PTR gdiplusToken_ = 0;
    HWND parent_ = nullptr;
    std::unique_ptr<MainWindow> window_;
};

// A 32-bit top-down DIB selected into a memory DC: the test's window face.
class Surface {
public:
    Surface(int width, int height);
    Surface(const Surface&) = delete;
    Surface& operator=(const Surface&) = delete;
    ~Surface();

    HDC dc() const { return dc_; }
    int width() const { return width_; }
    int height() const { return height_; }
    // The pixel as RGB() gives it, alpha dropped.
    COLORREF At(int x, int y) const;
    // Every pixel of the rectangle, row by row.
    std::vector<COLORREF> Area(int x, int y, int width, int height) const;

private:
    int width_;
    int height_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
    const std::uint32_t* bits_ = nullptr;
};

// The launcher executable as a resource module: it carries the skin; the test programs do not.
class LauncherResources {
public:
    LauncherResources();
    LauncherResources(const LauncherResources&) = delete;
    LauncherResources& operator=(const LauncherResources&) = delete;
    ~LauncherResources();
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

// Draw-item data of a control drawn into `surface` in its normal state.
DRAWITEMSTRUCT DrawItemFor(HWND control, const Surface& surface, UINT state = 0);

}
