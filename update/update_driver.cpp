#include "update/update_driver.h"

#include "ui/shared_state.h"

void CheckUpdatesAsync(bool)
{
    autoUpdatePending = false;
}

std::wstring BuildUpdateStatusText()
{
    return {};
}

void RefreshUpdateLabel() {}
