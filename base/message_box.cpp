#include "base/message_box.h"

#include <atomic>

namespace {
std::atomic<MessageBoxHook> messageBoxHook{nullptr};
}

int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT type)
{
    if (const MessageBoxHook hook = messageBoxHook.load())
        return hook(owner, text, caption, type);
    return MessageBoxW(owner, text.c_str(), caption.c_str(), type);
}

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook)
{
    return messageBoxHook.exchange(hook);
}
