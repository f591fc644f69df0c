#pragma once

// The control ids of the main window. The handles live in the main-window object (ui/main_window.h).

inline constexpr int kRegionButtonCount = 9;

enum ControlId : int {
    kAccountEditId = 201,
    kResolutionComboId = 202,
    kWindowedCheckId = 203,
    kWebsiteButtonId = 204,
    kEnterGameButtonId = 206,
    kAnnouncementId = 207,
    kForumButtonId = 208,
    kCloseButtonId = 209,
    kRegisterButtonId = 210,
    kDownloadButtonId = 211,
    kSponsorButtonId = 212,
    kGameSettingsButtonId = 213,
    kUpdateLabelId = 219,
    kFirstRegionButtonId = 300,  // region slot i has id 300 + i
};
