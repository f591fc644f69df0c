#include "update/update_driver.h"

void CheckUpdatesAsync(bool) {}

std::wstring BuildUpdateStatusText()
{
    return {};
}

void RefreshUpdateLabel() {}

bool RestartForSelfUpdate()
{
    return false;
}
