#pragma once

// The project's nginx site (tools/nginx_site.py) serving a folder on a free loopback port for one test, held by
// its lifeline (lifeline_program.h). The options are the tool's own (--rate, --limit-conn, ...).

#include "tests/support/lifeline_program.h"
#include "tests/support/process_probe.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace probe {

// One request as nginx logged it when it ended (transfers.log).
struct NginxTransfer {
    double time = 0;          // seconds since the epoch, to the millisecond
    int status = 0;
    std::uint64_t bytes = 0;  // of body sent
    std::string range;        // the Range header; "-" without one
    std::string target;       // as requested, e.g. "/a.bin"
};

class NginxSite {
public:
    NginxSite(const std::wstring& folder, const std::vector<std::wstring>& options);

    bool running() const { return program_.running(); }
    const std::string& failure() const { return program_.failure(); }
    std::uint16_t Port() const;
    // "http://127.0.0.1:<port>/"
    std::wstring BaseUrl() const;
    // Every request that has ended so far, in the order nginx finished them.
    std::vector<NginxTransfer> Transfers() const;
    // The same once at least `count` of them are `which`, or after ten seconds: nginx logs a request after it has
    // sent the last byte, so a client can hold a whole reply before the request is in the log.
    std::vector<NginxTransfer> TransfersOnceLogged(std::size_t count,
                                                   const std::function<bool(const NginxTransfer&)>& which) const;

private:
    TempDir prefix_;
    LifelineProgram program_;
};

}
