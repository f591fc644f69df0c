#include "net/winsock_session.h"

#include <winsock2.h>

#include <stdexcept>

WinsockSession::WinsockSession()
{
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        throw std::runtime_error("WSAStartup failed");
}

WinsockSession::~WinsockSession()
{
    WSACleanup();
}
