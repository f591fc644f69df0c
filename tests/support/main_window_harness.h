#pragma once

// The launcher's main window inside a test process: the start-up's set-up (OLE with the announcement module,
// GDI+, common controls, the "VornLauncherWindow" class bound to MainWindowProc), a configuration that keeps
// every worker on this machine, fresh shared state per window, a message pump and a message-box recorder.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace harness {

// Puts every shared value of the window and its workers back to its start-up value. Joins a leftover update
// thread first.
void ResetSharedState();

// Dispatches everything queued for this thread; true when a WM_QUIT with exit code 0 was among it (it is
// taken out, not acted on).
bool PumpPending();
// Pumps until `done` holds; false when it did not within the time.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

struct WindowOptions {
    bool automaticUpdate = false;  // let the first region-list result start the update
    bool shown = false;            // map it on the screen (hiding a shown window costs Wine about 2 s here)
};

// Creates the main window as the launcher does, at (10, 10), after resetting the shared state. The region-list
// load that creation starts is waited for, so a test begins with a settled window. The destructor destroys the
// window if it still stands.
class MainWindowUnderTest {
public:
    explicit MainWindowUnderTest(WindowOptions options = {});
    MainWindowUnderTest(const MainWindowUnderTest&) = delete;
    MainWindowUnderTest& operator=(const MainWindowUnderTest&) = delete;
    ~MainWindowUnderTest();

    HWND hwnd() const { return window_; }
    bool exists() const { return IsWindow(window_) != FALSE; }
    HWND control(int id) const { return GetDlgItem(window_, id); }

private:
    HWND window_ = nullptr;
};

struct ShownMessageBox {
    HWND owner = nullptr;
    std::wstring text;
    std::wstring caption;
    UINT type = 0;
};

// Records every message box shown through ShowMessageBox while it lives and answers each with the next of
// `answers` (the last one repeats).
class MessageBoxRecorder {
public:
    explicit MessageBoxRecorder(std::vector<int> answers);
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;
    ~MessageBoxRecorder();

    const std::vector<ShownMessageBox>& shown() const { return shown_; }

private:
    static int Answer(HWND owner, const std::wstring& text, const std::wstring& caption, UINT type);

    std::vector<int> answers_;
    std::vector<ShownMessageBox> shown_;
};

}
