#include "tests/support/message_box_recorder.h"

#include "base/message_box.h"

#include <algorithm>

namespace probe {

namespace {

MessageBoxRecorder* currentRecorder = nullptr;

}

MessageBoxRecorder::MessageBoxRecorder(std::vector<int> answers)
    : answers_(std::move(answers)), previous_(currentRecorder)
{
    currentRecorder = this;
    SetMessageBoxHook(&MessageBoxRecorder::Answer);
}

MessageBoxRecorder::~MessageBoxRecorder()
{
    currentRecorder = previous_;
    if (currentRecorder == nullptr)
        SetMessageBoxHook(nullptr);
}

int MessageBoxRecorder::Answer(HWND owner, const std::wstring& text, const std::wstring& caption, UINT type)
{
    MessageBoxRecorder& self = *currentRecorder;
    self.calls_.push_back({owner, text, caption, type});
    if (self.answers_.empty())
        return IDCANCEL;
    return self.answers_[std::min(self.calls_.size(), self.answers_.size()) - 1];
}

}
