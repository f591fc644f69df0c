#include "announce/announcement_view.h"

HWND CreateAnnouncementView(HWND, const RECT&)
{
    return nullptr;
}

void DestroyAnnouncementView() {}
