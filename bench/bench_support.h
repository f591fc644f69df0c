#pragma once

// Small helpers the Windows benchmarks share: a monotonic clock, the process's peak working set and an update's
// observer.

#include "update/update_types.h"

#include <windows.h>
#include <psapi.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace bench {

inline double Seconds()
{
    LARGE_INTEGER frequency{};
    LARGE_INTEGER now{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

inline double PeakWorkingSetMiB()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)))
        return -1.0;
    return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

// Hands every progress report of an update to a function; never cancels.
class ProgressObserver final : public vorn::UpdateObserver {
public:
    explicit ProgressObserver(std::function<void(const vorn::UpdateProgress&)> onProgress = {})
        : onProgress_(std::move(onProgress))
    {
    }
    void OnProgress(const vorn::UpdateProgress& progress) override
    {
        if (onProgress_)
            onProgress_(progress);
    }
    void OnDownloadStarted(const std::wstring&) override {}
    bool Cancelled() const override { return false; }

private:
    std::function<void(const vorn::UpdateProgress&)> onProgress_;
};

}
