#include "tests/support/nginx_site.h"

#include <algorithm>
#include <sstream>

namespace probe {

namespace {

std::vector<std::wstring> SiteArguments(const std::wstring& folder, const std::wstring& prefix,
                                        const std::vector<std::wstring>& options)
{
    std::vector<std::wstring> all = {UnixPathOf(folder), L"--prefix", UnixPathOf(prefix), L"--http", L"0",
                                     L"--lifetime", L"600"};
    all.insert(all.end(), options.begin(), options.end());
    return all;
}

// The text between the next pair of double quotes.
std::string Quoted(std::istream& in)
{
    std::string text;
    in >> std::ws;
    if (in.get() != '"')
        return {};
    std::getline(in, text, '"');
    return text;
}

}

NginxSite::NginxSite(const std::wstring& folder, const std::vector<std::wstring>& options)
    : program_(VORN_NGINX_SITE_SCRIPT_PATH, SiteArguments(folder, prefix_.path(), options))
{
}

std::uint16_t NginxSite::Port() const
{
    return program_.ports().empty() ? 0 : program_.ports().front();
}

std::wstring NginxSite::BaseUrl() const
{
    return L"http://127.0.0.1:" + std::to_wstring(Port()) + L"/";
}

std::vector<NginxTransfer> NginxSite::Transfers() const
{
    std::vector<NginxTransfer> transfers;
    std::istringstream log(FileExists(prefix_ / L"transfers.log") ? ReadFileBytes(prefix_ / L"transfers.log") : "");
    for (std::string line; std::getline(log, line);) {
        std::istringstream fields(line);
        NginxTransfer transfer;
        fields >> transfer.time >> transfer.status >> transfer.bytes;
        transfer.range = Quoted(fields);
        std::istringstream request(Quoted(fields));
        std::string method;
        request >> method >> transfer.target;
        transfers.push_back(transfer);
    }
    return transfers;
}

std::vector<NginxTransfer> NginxSite::TransfersOnceLogged(
    std::size_t count, const std::function<bool(const NginxTransfer&)>& which) const
{
    for (const ULONGLONG end = GetTickCount64() + 10000;; Sleep(20)) {
        std::vector<NginxTransfer> transfers = Transfers();
        if (static_cast<std::size_t>(std::count_if(transfers.begin(), transfers.end(), which)) >= count ||
            GetTickCount64() >= end)
            return transfers;
    }
}

}
