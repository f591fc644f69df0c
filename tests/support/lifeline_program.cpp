#include "tests/support/lifeline_program.h"

#include "base/text.h"
#include "tests/support/process_probe.h"

#include <sstream>

namespace probe {

namespace {

constexpr DWORD kStartTimeoutMs = 20000;

// Quoted so that the command-line splitting of the started program gives back each argument unchanged.
std::wstring QuoteArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

bool WaitReadable(SOCKET socket, DWORD timeoutMs)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval wait{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &wait) > 0;
}

std::string ReadLineFrom(SOCKET socket, DWORD timeoutMs)
{
    std::string line;
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    char byte = 0;
    while (GetTickCount64() < end && WaitReadable(socket, 200)) {
        if (recv(socket, &byte, 1, 0) != 1 || byte == '\n')
            break;
        line.push_back(byte);
    }
    return line;
}

}

LifelineProgram::LifelineProgram(const std::string& script, const std::vector<std::wstring>& arguments)
{
    UniqueSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    int length = sizeof address;
    if (!listener || bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        failure_ = "no lifeline listener";
        return;
    }

    std::wstring command = QuoteArgument(Utf8ToWide(script)) + L" --lifeline " +
                           std::to_wstring(ntohs(address.sin_port));
    for (const std::wstring& argument : arguments)
        command += L" " + QuoteArgument(argument);
    if (!StartLinuxProgram(Utf8ToWide(VORN_PYTHON3_PATH), command)) {
        failure_ = "python3 could not be started";
        return;
    }

    if (!WaitReadable(listener.get(), kStartTimeoutMs)) {
        failure_ = "the tool never called back";
        return;
    }
    UniqueSocket lifeline(accept(listener.get(), nullptr, nullptr));
    const std::string ready = ReadLineFrom(lifeline.get(), kStartTimeoutMs);
    std::istringstream words(ready);
    std::string word;
    words >> word;
    if (word != "READY") {
        failure_ = ready.empty() ? std::string("no READY from the tool") : ready;
        return;
    }
    unsigned port = 0;
    while (words >> port)
        ports_.push_back(static_cast<std::uint16_t>(port));
    lifeline_ = std::move(lifeline);
}

LifelineProgram::~LifelineProgram()
{
    if (!lifeline_)
        return;
    shutdown(lifeline_.get(), SD_SEND);
    WaitReadable(lifeline_.get(), 5000);
}

}
