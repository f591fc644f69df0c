#pragma once

// The launcher's main window ("VornLauncherWindow") and the object that holds all of its state: created at
// WM_NCCREATE, kept in the window's user data, destroyed at WM_NCDESTROY. Handlers reach it as MainWindow&.

#include "announce/announcement_view.h"
#include "base/unique_resource.h"
#include "launch/region_info.h"
#include "ui/controls.h"
#include "ui/job_threads.h"
#include "ui/settings.h"
#include "ui/worker_channel.h"
#include "update/update_types.h"

#include <windows.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

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

// What the window knows between two messages. Only the window's thread touches it; the job threads see nothing
// of it (they share the WorkerChannel with the window).
struct MainWindowState {
    // The long-action slot (ui/jobs.h): held by a region load, an update or a launch while it runs.
    bool busy = false;
    bool updateRunning = false;
    // The slot is held by a launch's authorisation, which has no percent of its own to show.
    bool launching = false;
    // The player confirmed closing while a job ran; its finish destroys the window.
    bool closePending = false;
    bool directoryConnected = false;
    bool hasRegions = false;
    bool updateFailed = false;
    // The running update was asked for by the player, so a failure is shown in a message box.
    bool showUpdateErrors = false;
    // No update has started yet; the first region list starts one.
    bool autoUpdatePending = true;
    int selectedRegion = -1;
    vorn::UpdateProgress uiProgress;
    int progressPercent = 0;
    std::wstring statusText = L"准备就绪。";
    // What the status line said before a launch; it says it again when the launch is decided.
    std::wstring statusBeforeLaunch;
    // The regions of the last list.
    std::vector<RegionInfo> regions;

    // The display name of regions[index], or empty when there is no such region.
    std::wstring RegionDisplayName(int index) const;
    // selectedRegion points at an existing region.
    bool HasValidSelection() const;
};

// How a main window starts, given as CreateWindowExW's creation parameter (none: the defaults).
struct MainWindowOptions {
    // The first region list starts the automatic update.
    bool automaticUpdate = true;
};

class MainWindow {
public:
    explicit MainWindow(HWND window, const MainWindowOptions& options = {});
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;
    // Stops and joins any job thread still running (the window's destruction has normally done so already).
    ~MainWindow();

    // The object kept in `window`'s user data, or null when there is none.
    static MainWindow* From(HWND window);
    // Keeps `object` in `window`'s user data (null takes it out).
    static void Attach(HWND window, MainWindow* object);

    HWND hwnd() const { return window_; }

    MainWindowControls controls;
    MainWindowState state;
    // The player's settings, loaded from the registry at creation and saved at every change and at the end.
    LauncherSettings settings;
    // What the job threads share with the window, and the threads themselves.
    WorkerChannel workers;
    JobThreads jobs;

    // The window-wide drawing objects, made by CreateDrawingObjects and deleted with the object.
    void CreateDrawingObjects();
    HFONT normalFont() const { return normalFont_.get(); }
    HFONT boldFont() const { return boldFont_.get(); }
    HBRUSH whiteBrush() const { return whiteBrush_.get(); }

    // The window face (ui/skin.h), loaded at creation.
    Skin& skin() const { return *skin_; }

    // The announcement panel; without the system's browser it stays empty and a static text stands in.
    vorn::AnnouncementView& announcement() { return announcement_; }

private:
    HWND window_;
    UniqueFont normalFont_;
    UniqueFont boldFont_;
    UniqueBrush whiteBrush_;
    std::unique_ptr<Skin> skin_;
    vorn::AnnouncementView announcement_;
};

// The window procedure of the launcher's main window.
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
