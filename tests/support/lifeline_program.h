#pragma once

// A Python tool of tools/ started for one test beside Wine (the reference service, the nginx site). Wine gives no
// usable process handle for a Linux program, so a lifeline connection carries the tool's "READY <port>..." (or
// "FAILED <reason>") back and, when this object closes it (or the test process dies), stops the tool.

#include "net/socket_handle.h"
#include "net/winsock_session.h"

#include <cstdint>
#include <string>
#include <vector>

namespace probe {

class LifelineProgram {
public:
    // Starts python3 with `script` (a Unix path), "--lifeline PORT" and then `arguments`.
    LifelineProgram(const std::string& script, const std::vector<std::wstring>& arguments);
    LifelineProgram(const LifelineProgram&) = delete;
    LifelineProgram& operator=(const LifelineProgram&) = delete;
    // Closes the lifeline and waits (at most 5 s) for the tool to let go of it, and so of its ports.
    ~LifelineProgram();

    bool running() const { return static_cast<bool>(lifeline_); }
    // Why it did not start: the tool's own words, or what the harness saw.
    const std::string& failure() const { return failure_; }
    // The numbers after READY.
    const std::vector<std::uint16_t>& ports() const { return ports_; }

private:
    WinsockSession winsock_;
    UniqueSocket lifeline_;
    std::string failure_;
    std::vector<std::uint16_t> ports_;
};

}
