#pragma once

#include <windows.h>

#include <string>

// Every message box of the launcher goes through here, so tests can read text, caption and icon and answer.
int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT type);

// A replacement for the system message box; returns the previous one (null means the system's).
using MessageBoxHook = int (*)(HWND owner, const std::wstring& text, const std::wstring& caption, UINT type);
MessageBoxHook SetMessageBoxHook(MessageBoxHook hook);
