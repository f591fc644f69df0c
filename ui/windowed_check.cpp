#include "ui/windowed_check.h"

#include "ui/main_window.h"

#include <windows.h>

bool IsWindowedChecked()
{
    HWND check = Controls().windowedCheck;
    return check != nullptr && GetWindowLongPtrW(check, GWLP_USERDATA) == BST_CHECKED;
}

void SetWindowedChecked(bool checked)
{
    if (Controls().windowedCheck != nullptr)
        SetWindowLongPtrW(Controls().windowedCheck, GWLP_USERDATA, checked ? BST_CHECKED : BST_UNCHECKED);
}
