#include "ui/shared_state.h"

void PostStatusText(WorkerChannel& workers, std::wstring text)
{
    workers.Post(WM_APP_STATUS_TEXT, 0, std::make_unique<std::wstring>(std::move(text)));
}
