#include "tests/support/reference_service.h"

#include <random>

namespace probe {

namespace {

std::vector<std::wstring> WithLog(const std::wstring& log, const std::vector<std::wstring>& arguments)
{
    std::vector<std::wstring> all = {L"--log", log};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return all;
}

}

ReferenceService::ReferenceService(const std::vector<std::wstring>& arguments)
    : program_(VORN_SERVICE_SCRIPT_PATH, WithLog(UnixPathOf(folder_ / L"service.log"), arguments))
{
    if (!program_.running() || program_.ports().empty())
        return;
    directoryPort_ = program_.ports().front();
    authPorts_.assign(program_.ports().begin() + 1, program_.ports().end());
}

std::string ReferenceService::Log() const
{
    return ReadFileBytes(folder_ / L"service.log");
}

std::string RandomLoopbackAddress()
{
    std::random_device seed;
    std::mt19937 generator(seed() ^ GetCurrentProcessId() ^ static_cast<unsigned>(GetTickCount64()));
    std::uniform_int_distribution<int> part(1, 254);
    return "127." + std::to_string(part(generator)) + "." + std::to_string(part(generator)) + "." +
           std::to_string(part(generator));
}

}
