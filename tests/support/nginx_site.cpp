// The port helper's header brings Winsock, which must come before windows.h.
#include "tests/support/loopback_peer.h"

#include "tests/support/nginx_site.h"

#include "base/text.h"

namespace probe {

namespace {

constexpr DWORD kStartTimeoutMs = 20000;
// Far longer than any test that uses the site; only a test that dies without stopping it waits this out.
constexpr int kLifetimeSeconds = 600;

std::string Quoted(const std::wstring& windowsPath)
{
    std::string quoted(1, '\'');
    quoted += WideToUtf8(UnixPathOf(windowsPath));
    quoted += '\'';
    return quoted;
}

}

NginxSite::NginxSite(const std::wstring& folder)
{
    port_ = UnusedPort();
    const std::wstring ready = work_ / L"ready";
    const std::string start = "python3 '" VORN_NGINX_SITE_SCRIPT_PATH "' " + Quoted(folder) + " --prefix " +
                              Quoted(work_ / L"nginx") + " --http " + std::to_string(port_) + " --ready-file " +
                              Quoted(ready) + " --lifetime " + std::to_string(kLifetimeSeconds) +
                              " >site.log 2>&1 </dev/null &";
    if (RunUnixShell(work_, start) != 0) {
        failure_ = "the site tool could not be started";
        return;
    }
    const ULONGLONG deadline = GetTickCount64() + kStartTimeoutMs;
    while (!FileExists(ready) && GetTickCount64() < deadline)
        Sleep(50);
    if (!FileExists(ready)) {
        failure_ = FileExists(work_ / L"site.log") ? ReadFileBytes(work_ / L"site.log") : "no ready file";
        return;
    }
    // The ready file holds nginx's process id and a line break: only digits go into the stop command.
    std::string pid = ReadFileBytes(ready);
    pid = pid.substr(0, pid.find_first_not_of("0123456789"));
    if (pid.empty())
        failure_ = "no process id in the ready file";
    nginxPid_ = pid;
}

NginxSite::~NginxSite()
{
    if (nginxPid_.empty())
        return;
    // The tool ends when its nginx does; waiting for that frees the port for the next test.
    RunUnixShell(work_, "kill -TERM " + nginxPid_ + "; i=0; while kill -0 " + nginxPid_ +
                            " 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done");
}

}
