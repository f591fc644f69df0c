#include "tests/support/loopback_peer.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// A client that connects and then neither writes nor leaves must not keep a peer's teardown waiting: the test
// would hang with it. The teardown runs on its own thread so that a hang shows as a failure here.
TEST(LoopbackPeer, TeardownEndsAWaitOnASilentClient)
{
    WinsockSession winsock;
    auto peer = std::make_unique<probe::LoopbackPeer>([](probe::PeerConnection& c) { c.ReadLine(); });
    ASSERT_TRUE(peer->listening());
    UniqueSocket client(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(peer->port());
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    ASSERT_EQ(connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    for (const ULONGLONG end = GetTickCount64() + 5000; peer->connections() == 0 && GetTickCount64() < end;)
        Sleep(10);
    ASSERT_EQ(peer->connections(), 1);
    // Let the script settle into its wait for the request line.
    Sleep(200);

    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread teardown([finished, doomed = peer.release()] {
        delete doomed;
        *finished = true;
    });
    for (const ULONGLONG end = GetTickCount64() + 2000; !*finished && GetTickCount64() < end;)
        Sleep(10);
    EXPECT_TRUE(finished->load());
    if (*finished)
        teardown.join();
    else
        teardown.detach();
}

}
