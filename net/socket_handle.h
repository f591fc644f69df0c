#pragma once

// Winsock must come before windows.h, which the handle template pulls in.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "base/unique_resource.h"

struct SocketTraits {
    using Type = SOCKET;
    static Type Empty() noexcept { return INVALID_SOCKET; }
    static void Close(Type s) noexcept { closesocket(s); }
};

struct AddrInfoTraits {
    using Type = ADDRINFOW*;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type list) noexcept { FreeAddrInfoW(list); }
};

using UniqueSocket = UniqueResource<SocketTraits>;
using UniqueAddrInfo = UniqueResource<AddrInfoTraits>;
