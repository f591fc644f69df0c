#include "ui/resolutions.h"

#include <algorithm>

int ClampResolutionIndex(int index)
{
    return std::clamp(index, 0, kResolutionCount - 1);
}

int GameResolutionCode(int index)
{
    static constexpr std::array<int, kResolutionCount> codes = {0, 5, 6, 7, 8};
    return codes[static_cast<std::size_t>(ClampResolutionIndex(index))];
}
