#pragma once

// The launcher's main window ("VornLauncherWindow") and the object that holds its window-thread state: created
// at WM_NCCREATE, kept in the window's user data, destroyed at WM_NCDESTROY.

#include "announce/announcement_view.h"
#include "base/unique_resource.h"
#include "ui/controls.h"

#include <windows.h>

#include <array>
#include <memory>

class Skin;

// The children of the main window that its code talks to. Children are destroyed with their parent, so the
// handles are borrowed, not owned; a missing control is null.
struct MainWindowControls {
    HWND downloadButton = nullptr;
    HWND updateLabel = nullptr;
    std::array<HWND, kRegionButtonCount> regionButtons{};
    HWND windowedCheck = nullptr;
    HWND enterGameButton = nullptr;
    HWND accountEdit = nullptr;
    HWND resolutionCombo = nullptr;
    HWND announcementView = nullptr;
};

class MainWindow {
public:
    explicit MainWindow(HWND window);
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;
    ~MainWindow();

    // The object kept in `window`'s user data, or null when there is none.
    static MainWindow* From(HWND window);
    // Keeps `object` in `window`'s user data (null takes it out).
    static void Attach(HWND window, MainWindow* object);

    HWND hwnd() const { return window_; }

    MainWindowControls controls;

    // The window-wide drawing objects, made by CreateDrawingObjects and deleted with the object.
    void CreateDrawingObjects();
    HFONT normalFont() const { return normalFont_.get(); }
    HFONT boldFont() const { return boldFont_.get(); }
    HBRUSH whiteBrush() const { return whiteBrush_.get(); }
    HBRUSH paleBrush() const { return paleBrush_.get(); }

    // The window face (ui/skin.h), loaded at creation.
    Skin& skin() const { return *skin_; }

    // The announcement panel; without the system's browser it stays empty and a static text stands in.
    vorn::AnnouncementView& announcement() { return announcement_; }

private:
    HWND window_;
    UniqueFont normalFont_;
    UniqueFont boldFont_;
    UniqueBrush whiteBrush_;
    UniqueBrush paleBrush_;
    std::unique_ptr<Skin> skin_;
    vorn::AnnouncementView announcement_;
};

// The object of the current main window (ui/shared_state.h), or null when there is none.
MainWindow* CurrentMainWindow();

// The controls of the current main window; all null when there is none.
const MainWindowControls& Controls();

// The window procedure of the launcher's main window.
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
