#include "ui/windowed_check.h"

#include "ui/controls.h"

#include <windows.h>

bool IsWindowedChecked()
{
    return windowedCheck != nullptr && GetWindowLongPtrW(windowedCheck, GWLP_USERDATA) == BST_CHECKED;
}

void SetWindowedChecked(bool checked)
{
    if (windowedCheck != nullptr)
        SetWindowLongPtrW(windowedCheck, GWLP_USERDATA, checked ? BST_CHECKED : BST_UNCHECKED);
}
