#include "announce/announcement_module.h"

#include "announce/host_window.h"

#include <ole2.h>

namespace vorn {

// The panel's window class goes before OLE does, as every panel did (a browser released after OleUninitialize
// would run in an apartment that no longer exists).
AnnouncementModule::~AnnouncementModule()
{
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
