// SendLineRequest against a loopback peer: the time of a typical directory exchange, and what a peer that never
// stops sending costs (time and peak working set) now that a reply is capped.
// Usage: line_client_bench.exe [EXCHANGES] [ENDLESS_RUNS]

#include "tests/support/loopback_peer.h"

#include "bench/bench_support.h"
#include "net/line_client.h"
#include "net/line_protocol.h"

#include <cstdio>
#include <cstdlib>
#include <numeric>

namespace {

std::string DirectoryReply()
{
    std::string reply = "OK LIST 9\n";
    for (int i = 1; i <= 9; ++i)
        reply += "REGION\t" + std::to_string(i) + "\tRealm " + std::to_string(i) + "\t127.0.0.1\t" +
                 std::to_string(7100 + i) + "\t\n";
    return reply + "END\n";
}

probe::LoopbackPeer::Script Endless(std::string line)
{
    return [line = std::move(line)](probe::PeerConnection& c) {
        c.ReadLine();
        std::string block;
        while (block.size() < 64 * 1024)
            block += line;
        if (c.Send("OK LIST\n")) {
            while (c.Send(block)) {
            }
        }
    };
}

void RunEndless(const char* name, const std::string& line, int runs)
{
    probe::LoopbackPeer peer(Endless(line));
    std::vector<std::string> lines;
    std::size_t bytes = 0;
    const double start = bench::Seconds();
    for (int i = 0; i < runs; ++i) {
        SendLineRequest(L"127.0.0.1", peer.port(), "LIST", lines);
        bytes = std::accumulate(lines.begin(), lines.end(), std::size_t{0},
                                [](std::size_t sum, const std::string& l) { return sum + l.size() + 1; });
    }
    const double each = (bench::Seconds() - start) / runs;
    std::printf("endless %-12s %zu lines, %zu bytes kept per exchange, %.1f ms each; peak working set %.1f MiB\n",
                name, lines.size(), bytes, each * 1000.0, bench::PeakWorkingSetMiB());
}

}

int wmain(int argc, wchar_t** argv)
{
    const int exchanges = argc > 1 ? _wtoi(argv[1]) : 2000;
    const int endlessRuns = argc > 2 ? _wtoi(argv[2]) : 20;
    if (exchanges <= 0 || endlessRuns <= 0) {
        std::fprintf(stderr, "usage: line_client_bench.exe [EXCHANGES] [ENDLESS_RUNS]\n");
        return 2;
    }
    WinsockSession winsock;
    std::printf("caps: %zu bytes, %zu lines per reply; deadline %lu ms\n", kMaxReplyBytes, kMaxReplyLines,
                kExchangeDeadlineMs);

    {
        probe::LoopbackPeer peer([reply = DirectoryReply()](probe::PeerConnection& c) {
            c.ReadLine();
            c.Send(reply);
        });
        std::vector<std::string> lines;
        const double start = bench::Seconds();
        for (int i = 0; i < exchanges; ++i) {
            if (!SendLineRequest(L"127.0.0.1", peer.port(), "LIST", lines) || lines.size() != 11) {
                std::fprintf(stderr, "exchange %d failed\n", i);
                return 1;
            }
        }
        const double each = (bench::Seconds() - start) / exchanges;
        std::printf("LIST, 9 regions: %d exchanges, %.3f ms each; peak working set %.1f MiB\n", exchanges,
                    each * 1000.0, bench::PeakWorkingSetMiB());
    }
    RunEndless("short lines", "REGION\t1\tRealm 1\t127.0.0.1\t7101\t\n", endlessRuns);
    RunEndless("long lines", std::string(8000, 'z') + "\n", endlessRuns);
    return 0;
}
