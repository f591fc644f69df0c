#pragma once

// Stands in for the player in front of message boxes: every box shown through ShowMessageBox while a recorder
// lives is kept, and answered with the next of its answers (the last one repeats).

#include <windows.h>

#include <string>
#include <vector>

namespace probe {

struct ShownMessageBox {
    HWND owner = nullptr;
    std::wstring text;
    std::wstring caption;
    UINT type = 0;
};

// Recorders nest: the innermost one takes the boxes while it lives, and the one before it takes them again
// afterwards.
class MessageBoxRecorder {
public:
    explicit MessageBoxRecorder(std::vector<int> answers = {IDOK});
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;
    ~MessageBoxRecorder();

    const std::vector<ShownMessageBox>& calls() const { return calls_; }

private:
    static int Answer(HWND owner, const std::wstring& text, const std::wstring& caption, UINT type);

    std::vector<int> answers_;
    std::vector<ShownMessageBox> calls_;
    MessageBoxRecorder* previous_;
};

}
