#pragma once

namespace vorn {

// The process's module object for the announcement panel. It owns OLE for the launcher's whole run: it
// records whether OleInitialize succeeded and undoes exactly that at destruction, after the panel's window class
// is gone. Every panel (AnnouncementView) ends before it.
class AnnouncementModule {
public:
    AnnouncementModule() = default;
    AnnouncementModule(const AnnouncementModule&) = delete;
    AnnouncementModule& operator=(const AnnouncementModule&) = delete;
    ~AnnouncementModule();

    bool InitializeOle();

private:
    bool oleInitialized_ = false;
};

}
