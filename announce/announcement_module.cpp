#include "announce/announcement_module.h"

#include <ole2.h>

namespace vorn {

AnnouncementModule::~AnnouncementModule()
{
    if (oleInitialized_)
        OleUninitialize();
}

bool AnnouncementModule::InitializeOle()
{
    oleInitialized_ = SUCCEEDED(OleInitialize(nullptr));
    return oleInitialized_;
}

}
