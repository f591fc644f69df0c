#include "announce/announcement_module.h"

#include "announce/announcement_view.h"
#include "announce/host_window.h"

#include <ole2.h>

namespace vorn {

// The panel's COM objects and its window class go before OLE does: a browser released after
// OleUninitialize would run in an apartment that no longer exists.
AnnouncementModule::~AnnouncementModule()
{
    DestroyAnnouncementView();
    UnregisterAnnouncementHostClass(GetModuleHandleW(nullptr));
    if (oleInitialized_)
        OleUninitialize();
}

bool AnnouncementModule::InitializeOle()
{
    oleInitialized_ = SUCCEEDED(OleInitialize(nullptr));
    return oleInitialized_;
}

}
