#pragma once

// The launcher's main window inside a test process: the start-up's set-up (OLE with the announcement module,
// GDI+, common controls, the "VornLauncherWindow" class bound to MainWindowProc), a configuration that keeps
// every worker on this machine, a message pump and a message-box recorder (tests/support/message_box_recorder.h).
// Each window brings its own object (ui/main_window.h) with all of its state.

#include "launch/region_info.h"
#include "tests/support/message_box_recorder.h"
#include "ui/main_window.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace harness {

// Dispatches everything queued for this thread; true when a WM_QUIT with exit code 0 was among it (it is
// taken out, not acted on).
bool PumpPending();
// Pumps until `done` holds; false when it did not within the time.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

// Regions with these names, all on one loopback port.
std::vector<RegionInfo> RegionsNamed(const std::vector<std::wstring>& names, std::uint16_t port = 33557);

struct WindowOptions {
    bool automaticUpdate = false;  // let the first region-list result start the update
    bool shown = false;            // map it on the screen (hiding a shown window costs Wine about 2 s here)
};

// Creates the main window as the launcher does, at (10, 10). The region-list load that creation starts is waited
// for, so a test begins with a settled window. The destructor destroys the window if it still stands.
class MainWindowUnderTest {
public:
    explicit MainWindowUnderTest(WindowOptions options = {});
    MainWindowUnderTest(const MainWindowUnderTest&) = delete;
    MainWindowUnderTest& operator=(const MainWindowUnderTest&) = delete;
    ~MainWindowUnderTest();

    HWND hwnd() const { return window_; }
    bool exists() const { return IsWindow(window_) != FALSE; }
    HWND control(int id) const { return GetDlgItem(window_, id); }
    // The window's object; only while the window exists.
    MainWindow& object() const { return *MainWindow::From(window_); }
    const MainWindowControls& controls() const { return object().controls; }
    MainWindowState& state() const { return object().state; }

    // Hands the window a region-list result as the load's thread does, and dispatches it.
    void DeliverRegionList(std::vector<RegionInfo> regions, bool connected = true, std::wstring errorText = {}) const;

private:
    HWND window_ = nullptr;
};

using probe::MessageBoxRecorder;

}
