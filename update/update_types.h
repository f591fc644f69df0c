#pragma once

#include <cstdint>
#include <string>

namespace vorn {

// The outcome of one update transaction.
struct UpdateResult {
    bool succeeded = false;        // ran to its end, also when nothing had to be updated
    bool restartRequired = false;  // the launcher's own executable was staged as "<exe>.new"
    std::int32_t filesUpdated = 0; // files moved into place by this call
    std::wstring message;          // result text for the player, or the error
};

// One progress report of the update transaction.
struct UpdateProgress {
    std::int32_t stage = 0;  // 0 manifest, 1 check, 2 download, 3 verify, 4 install, 5 finished
    std::uint32_t current = 0;
    std::uint32_t total = 0;
    std::int32_t filePercent = 0;
    std::int32_t overallPercent = 0;
    std::wstring file;
};

}
