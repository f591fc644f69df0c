#pragma once

// nginx serving a folder on a free loopback port for one test, through the site tool of the journeys
// (tools/nginx_site.py): the real web server the update site is meant to be, where its answers matter (ranges,
// several ranges in one reply). Stopped with the object, or by the tool's own lifetime when the test dies first.

#include "tests/support/process_probe.h"

#include <cstdint>
#include <string>

namespace probe {

class NginxSite {
public:
    // Serves `folder` as the web root: a request for /a/b reads folder\a\b.
    explicit NginxSite(const std::wstring& folder);
    NginxSite(const NginxSite&) = delete;
    NginxSite& operator=(const NginxSite&) = delete;
    ~NginxSite();

    bool running() const { return !nginxPid_.empty(); }
    // Why it did not start: the tool's own words, or what the harness saw.
    const std::string& failure() const { return failure_; }
    std::uint16_t Port() const { return port_; }

private:
    TempDir work_;
    std::uint16_t port_ = 0;
    std::string nginxPid_;
    std::string failure_;
};

}
