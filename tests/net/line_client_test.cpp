#include "tests/support/loopback_peer.h"

#include "net/line_client.h"
#include "net/line_protocol.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <numeric>
#include <thread>

namespace {

using Lines = std::vector<std::string>;

struct Exchange {
    bool answered = false;
    Lines lines;
    ULONGLONG elapsedMs = 0;
};

Exchange Ask(const std::wstring& host, std::uint16_t port, std::string_view request = "LIST")
{
    WinsockSession winsock;
    Exchange result;
    result.lines = {"left over from an earlier call"};
    const ULONGLONG start = GetTickCount64();
    result.answered = SendLineRequest(host, port, request, result.lines);
    result.elapsedMs = GetTickCount64() - start;
    return result;
}

Exchange AskPeer(const probe::LoopbackPeer& peer, std::string_view request = "LIST")
{
    return Ask(L"127.0.0.1", peer.port(), request);
}

// A resolved address list of loopback ports, as the resolver hands it over, in the order given.
class LoopbackAddresses {
public:
    explicit LoopbackAddresses(std::initializer_list<std::uint16_t> ports)
        : sockets_(ports.size()), entries_(ports.size())
    {
        std::size_t i = 0;
        for (const std::uint16_t port : ports) {
            sockets_[i].sin_family = AF_INET;
            sockets_[i].sin_port = htons(port);
            inet_pton(AF_INET, "127.0.0.1", &sockets_[i].sin_addr);
            entries_[i] = ADDRINFOW{0, AF_INET, SOCK_STREAM, IPPROTO_TCP, sizeof(sockaddr_in), nullptr,
                                    reinterpret_cast<sockaddr*>(&sockets_[i]), nullptr};
            if (i > 0)
                entries_[i - 1].ai_next = &entries_[i];
            ++i;
        }
    }
    const ADDRINFOW* get() const { return entries_.empty() ? nullptr : entries_.data(); }

private:
    std::vector<sockaddr_in> sockets_;
    std::vector<ADDRINFOW> entries_;
};

Exchange AskAddresses(const LoopbackAddresses& addresses)
{
    WinsockSession winsock;
    Exchange result;
    const ULONGLONG start = GetTickCount64();
    result.answered = SendLineRequestTo(addresses.get(), "LIST", result.lines);
    result.elapsedMs = GetTickCount64() - start;
    return result;
}

struct ReplyCase {
    const char* name;
    std::string reply;
    Lines expected;
};

TEST(LineClient, EachEndRuleClosesTheReplyWhereItShould)
{
    const std::string longLine(8191, 'x');
    const ReplyCase cases[] = {
        {"listing", "OK LIST 2\nA\nB\nEND\nafter\n", {"OK LIST 2", "A", "B", "END"}},
        {"info listing", "OK INFO\nx\nEND\nafter\n", {"OK INFO", "x", "END"}},
        {"bare OK REGION opens", "OK REGION\nR\nEND\nafter\n", {"OK REGION", "R", "END"}},
        {"OK REGION with more is one line", "OK REGION\tx\nafter\n", {"OK REGION\tx"}},
        {"ERR ends", "ERR BUSY\nafter\n", {"ERR BUSY"}},
        {"OK alone ends", "OK\nafter\n", {"OK"}},
        {"any OK word ends", "OKAY\nafter\n", {"OKAY"}},
        {"OK AUTH ends", "OK AUTH\thost\t7000\nafter\n", {"OK AUTH\thost\t7000"}},
        {"OK LIST is case-sensitive", "ok list\nok\nOk\nEND\n", {"ok list", "ok", "Ok", "END"}},
        {"END must be whole", "OK LIST\nENDS\nEND \n END\nEND\n", {"OK LIST", "ENDS", "END ", " END", "END"}},
        {"empty lines are lines", "\n\nEND\n", {"", "", "END"}},
        {"one CR comes off", "OK LIST\r\nA\r\r\nB\rC\r\nEND\r\n", {"OK LIST", "A\r", "B\rC", "END"}},
        {"longest line", "OK LIST\n" + longLine + "\nEND\n", {"OK LIST", longLine, "END"}},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.name);
        probe::LoopbackPeer peer(probe::AnswerAndHold(c.reply));
        ASSERT_TRUE(peer.listening());
        const Exchange exchange = AskPeer(peer);
        EXPECT_TRUE(exchange.answered);
        EXPECT_EQ(exchange.lines, c.expected);
        // The reply's own end stopped the reading, not the peer's silence.
        EXPECT_LT(exchange.elapsedMs, 2000u);
    }
}

TEST(LineClient, RequestGoesOutAsGivenWithOneLineFeed)
{
    probe::RequestLog requests;
    probe::LoopbackPeer peer(probe::AnswerAndHold("OK\n", &requests));
    ASSERT_TRUE(peer.listening());
    EXPECT_TRUE(AskPeer(peer, "LIST").answered);
    EXPECT_TRUE(AskPeer(peer, "").answered);
    EXPECT_TRUE(AskPeer(peer, "AUTH\t\xE5\xB2\x9A\tx\r").answered);
    EXPECT_EQ(requests.Lines(), (Lines{"LIST", "", "AUTH\t\xE5\xB2\x9A\tx\r"}));
    EXPECT_EQ(peer.connections(), 3);
}

TEST(LineClient, BrokenOffRepliesKeepTheCompleteLines)
{
    struct Case {
        const char* name;
        probe::LoopbackPeer::Script script;
        bool answered;
        Lines expected;
    };
    const std::string fullLine(8192, 'y');
    Case cases[] = {
        {"peer closes without END",
         [](probe::PeerConnection& c) {
             c.ReadLine();
             c.Send("OK LIST\nA\nunfinished");
         },
         true, {"OK LIST", "A"}},
        {"peer closes before any line",
         [](probe::PeerConnection& c) {
             c.ReadLine();
             c.Send("OK LIST");
         },
         false, {}},
        {"line reaching 8192 bytes",
         probe::AnswerAndHold("OK LIST\n" + fullLine + "\nEND\n"), true, {"OK LIST"}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        probe::LoopbackPeer peer(std::move(c.script));
        ASSERT_TRUE(peer.listening());
        const Exchange exchange = AskPeer(peer);
        EXPECT_EQ(exchange.answered, c.answered);
        EXPECT_EQ(exchange.lines, c.expected);
        EXPECT_LT(exchange.elapsedMs, 2000u);
    }
}

TEST(LineClient, SilentPeerCostsOneTimeOut)
{
    probe::LoopbackPeer peer([](probe::PeerConnection& c) {
        c.ReadLine();
        c.WaitClientClose(20000);
    });
    ASSERT_TRUE(peer.listening());
    const Exchange exchange = AskPeer(peer);
    EXPECT_FALSE(exchange.answered);
    EXPECT_TRUE(exchange.lines.empty());
    EXPECT_GE(exchange.elapsedMs, kSocketTimeoutMs - 200);
    EXPECT_LT(exchange.elapsedMs, kSocketTimeoutMs + 2500);
}

TEST(LineClient, UnreachableServicesGiveFalseAndNoLines)
{
    const Exchange unresolved = Ask(L"no-such-host.invalid", 33556);
    EXPECT_FALSE(unresolved.answered);
    EXPECT_TRUE(unresolved.lines.empty());

    const Exchange refused = Ask(L"127.0.0.1", probe::UnusedPort());
    EXPECT_FALSE(refused.answered);
    EXPECT_TRUE(refused.lines.empty());
}

TEST(LineClient, AddressesAreTriedInOrderUntilOneAccepts)
{
    probe::LoopbackPeer peer(probe::AnswerAndHold("OK\n"));
    ASSERT_TRUE(peer.listening());
    const std::uint16_t refusing = probe::UnusedPort();

    const Exchange exchange = AskAddresses(LoopbackAddresses{refusing, peer.port(), peer.port()});
    EXPECT_TRUE(exchange.answered);
    EXPECT_EQ(exchange.lines, Lines{"OK"});
    EXPECT_EQ(peer.connections(), 1);
    // A refusal brings the next address at once, without waiting out the stagger.
    EXPECT_LT(exchange.elapsedMs, kConnectAttemptDelayMs);

    const Exchange refused = AskAddresses(LoopbackAddresses{refusing});
    EXPECT_FALSE(refused.answered);
    EXPECT_TRUE(refused.lines.empty());
}

// A first address that drops every packet (a broken route sorted first) holds the exchange only for the stagger;
// the next address is tried beside it.
TEST(LineClient, SilentFirstAddressGivesWayToTheNextAfterTheStagger)
{
    const probe::NeverAcceptingListener silent;
    ASSERT_TRUE(silent.full()) << "the listener's queue could not be filled";
    probe::LoopbackPeer peer(probe::AnswerAndHold("OK LIST 0\nEND\n"));
    ASSERT_TRUE(peer.listening());

    const Exchange exchange = AskAddresses(LoopbackAddresses{silent.port(), peer.port()});
    EXPECT_TRUE(exchange.answered);
    EXPECT_EQ(exchange.lines, (Lines{"OK LIST 0", "END"}));
    EXPECT_GE(exchange.elapsedMs + 20, kConnectAttemptDelayMs);
    EXPECT_LT(exchange.elapsedMs, kConnectAttemptDelayMs + 1500);
}

// An honest server behind a slow link answers the connect after the stagger: trying the next address beside it
// must not give it up.
TEST(LineClient, SlowFirstAddressKeepsItsChanceBesideTheNext)
{
    probe::NeverAcceptingListener slow;
    const probe::NeverAcceptingListener silent;
    ASSERT_TRUE(slow.full() && silent.full()) << "a listener's queue could not be filled";
    std::string request;
    std::thread server([&slow, &request] {
        // Opens well after the next address was tried; the client's connect gets through when it is sent again.
        Sleep(2 * kConnectAttemptDelayMs);
        const UniqueSocket connection = slow.OpenAndAccept(10000);
        if (!connection)
            return;
        const UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        probe::PeerConnection peer(connection.get(), stop.get());
        request = peer.ReadLine();
        if (peer.Send("OK\n"))
            peer.WaitClientClose(10000);
    });
    const Exchange exchange = AskAddresses(LoopbackAddresses{slow.port(), silent.port()});
    server.join();
    EXPECT_TRUE(exchange.answered);
    EXPECT_EQ(exchange.lines, Lines{"OK"});
    EXPECT_EQ(request, "LIST");
    EXPECT_GT(exchange.elapsedMs, 2 * kConnectAttemptDelayMs);
}

TEST(LineClient, NumericIpv6AddressIsReached)
{
    probe::LoopbackPeer peer(probe::AnswerAndHold("OK AUTH\t::1\t7000\n"), AF_INET6);
    if (!peer.listening())
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    const Exchange exchange = Ask(L"::1", peer.port(), "AUTH");
    EXPECT_TRUE(exchange.answered);
    EXPECT_EQ(exchange.lines, Lines{"OK AUTH\t::1\t7000"});
}

// A peer that never stops sending must not make the launcher hold more than the reply cap.
TEST(LineClient, EndlessReplyStopsAtTheCap)
{
    const auto streamLines = [](std::string line) {
        return [line = std::move(line)](probe::PeerConnection& c) {
            c.ReadLine();
            if (!c.Send("OK LIST\n"))
                return;
            std::string block;
            for (int i = 0; i < 64; ++i)
                block += line;
            while (c.Send(block)) {
            }
        };
    };
    const auto totalBytes = [](const Lines& lines) {
        return std::accumulate(lines.begin(), lines.end(), std::size_t{0},
                               [](std::size_t sum, const std::string& l) { return sum + l.size() + 1; });
    };

    {
        SCOPED_TRACE("many short lines");
        probe::LoopbackPeer peer(streamLines("REGION\t1\tA\th\t7000\t\n"));
        ASSERT_TRUE(peer.listening());
        const Exchange exchange = AskPeer(peer);
        EXPECT_TRUE(exchange.answered);
        ASSERT_EQ(exchange.lines.size(), kMaxReplyLines);
        EXPECT_EQ(exchange.lines.front(), "OK LIST");
        EXPECT_EQ(exchange.lines.back(), "REGION\t1\tA\th\t7000\t");
    }
    {
        SCOPED_TRACE("long lines");
        const std::string longLine = std::string(8000, 'z') + "\n";
        probe::LoopbackPeer peer(streamLines(longLine));
        ASSERT_TRUE(peer.listening());
        const Exchange exchange = AskPeer(peer);
        EXPECT_TRUE(exchange.answered);
        EXPECT_LE(totalBytes(exchange.lines), kMaxReplyBytes);
        EXPECT_EQ(exchange.lines.size(), 1 + (kMaxReplyBytes - 8) / longLine.size());
        EXPECT_EQ(exchange.lines.back(), longLine.substr(0, 8000));
    }
}

// A peer that keeps every gap just under the time-out is cut off at the exchange deadline.
TEST(LineClient, DrippingPeerIsCutOffAtTheDeadline)
{
    probe::LoopbackPeer peer([](probe::PeerConnection& c) {
        c.ReadLine();
        if (!c.Send("OK LIST\n"))
            return;
        while (c.Pause(kSocketTimeoutMs - 1000) && c.Send("x")) {
        }
    });
    ASSERT_TRUE(peer.listening());
    const Exchange exchange = AskPeer(peer);
    EXPECT_TRUE(exchange.answered);
    EXPECT_EQ(exchange.lines, Lines{"OK LIST"});
    EXPECT_GE(exchange.elapsedMs, kExchangeDeadlineMs - 200);
    EXPECT_LT(exchange.elapsedMs, kExchangeDeadlineMs + 2000);
}

// The deadline counts from the start of the connect and covers every address: a service that never accepts, on
// any of its addresses, costs no more than it.
TEST(LineClient, ServiceThatNeverAcceptsIsCutOffAtTheDeadline)
{
    const probe::NeverAcceptingListener first;
    const probe::NeverAcceptingListener second;
    ASSERT_TRUE(first.full() && second.full()) << "a listener's queue could not be filled";
    const Exchange exchange = AskAddresses(LoopbackAddresses{first.port(), second.port()});
    EXPECT_FALSE(exchange.answered);
    EXPECT_TRUE(exchange.lines.empty());
    EXPECT_GE(exchange.elapsedMs, kExchangeDeadlineMs - 200);
    EXPECT_LT(exchange.elapsedMs, kExchangeDeadlineMs + 2000);
}

TEST(LineClient, WinsockSessionsNest)
{
    WinsockSession outer;
    {
        WinsockSession inner;
    }
    // The outer session still holds the library: a socket can be made.
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    EXPECT_TRUE(static_cast<bool>(s));
}

}
