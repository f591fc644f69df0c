#pragma once

// One update through the front door in a test: the request, and what the observer heard.

#include "tests/support/http_site.h"
#include "update/update_transaction.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// "stage current/total file% overall% file", so a whole report reads as one value.
inline std::wstring Describe(const vorn::UpdateProgress& p)
{
    return std::to_wstring(static_cast<int>(p.stage)) + L" " + std::to_wstring(p.current) + L"/" + std::to_wstring(p.total) + L" " +
           std::to_wstring(p.filePercent) + L" " + std::to_wstring(p.overallPercent) + L" " + p.file;
}

// One update with its request, recording what the observer hears.
struct UpdateRun final : vorn::UpdateObserver {
    std::vector<std::wstring> started;  // the files whose downloads began, in that order
    std::vector<vorn::UpdateProgress> reports;
    std::function<bool(const UpdateRun&)> cancelWhen;
    std::function<void(const vorn::UpdateProgress&)> whenReported;  // after the report is kept
    Fetcher* fetcher = nullptr;  // none: the transaction's own WinHTTP fetcher
    vorn::UpdateRequest request;
    vorn::UpdateResult result;

    void OnProgress(const vorn::UpdateProgress& p) override
    {
        reports.push_back(p);
        if (whenReported)
            whenReported(p);
    }
    void OnDownloadStarted(const std::wstring& file) override { started.push_back(file); }
    bool Cancelled() const override { return cancelWhen && cancelWhen(*this); }

    UpdateRun& Apply(const probe::HttpSite& server, const std::wstring& client, const std::wstring& launcher,
               const std::wstring& manifestName = L"up.ini")
    {
        return Apply(server.BaseUrl(), client, launcher, manifestName);
    }

    UpdateRun& Apply(const std::wstring& baseUrl, const std::wstring& client, const std::wstring& launcher,
                     const std::wstring& manifestName = L"up.ini")
    {
        request.siteUrl = baseUrl;
        request.manifestName = manifestName;
        request.clientFolder = client;
        request.launcherPath = launcher;
        result = fetcher ? vorn::ApplyClientUpdate(request, *this, *fetcher) : vorn::ApplyClientUpdate(request, *this);
        return *this;
    }

    // The overall percent of every report.
    std::vector<int> Percents() const
    {
        std::vector<int> percents;
        for (const auto& p : reports)
            percents.push_back(p.overallPercent);
        return percents;
    }

    std::vector<std::wstring> Stage(int stage) const
    {
        std::vector<std::wstring> described;
        for (const auto& p : reports) {
            if (static_cast<int>(p.stage) == stage)
                described.push_back(Describe(p));
        }
        return described;
    }
};

// The update of `run` on a thread of its own, waited for at most `limitMs`: false when it has not ended by then.
// The thread is then left with the run it shares, so an update that hangs fails its test instead of hanging it.
inline bool ApplyWithin(const std::shared_ptr<UpdateRun>& run, DWORD limitMs, const std::wstring& baseUrl,
                        const std::wstring& client, const std::wstring& launcher)
{
    const auto ended = std::make_shared<UniqueHandle>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread update([run, ended, baseUrl, client, launcher] {
        run->Apply(baseUrl, client, launcher);
        SetEvent(ended->get());
    });
    if (WaitForSingleObject(ended->get(), limitMs) != WAIT_OBJECT_0) {
        update.detach();
        return false;
    }
    update.join();
    return true;
}
