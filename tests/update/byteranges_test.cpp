#include "update/byteranges.h"

#include "net/socket_handle.h"
#include "net/winsock_session.h"
#include "tests/support/nginx_site.h"
#include "tests/update/block_index_maker.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const std::string kBoundary = "00000000000000000007";
const std::string kFile = blocktest::RandomBytes(10000, 21);

struct Part {
    ByteRange range;
    std::string headers;  // extra header lines, each ending in CRLF
};

// A body as nginx writes it: a line break, then per part a boundary line, its headers, a blank line and the bytes,
// then the closing boundary.
std::string Body(const std::vector<Part>& parts, const std::string& closing = "--" + kBoundary + "--\r\n")
{
    std::string body;
    for (const Part& part : parts) {
        body += "\r\n--" + kBoundary + "\r\nContent-Type: application/octet-stream\r\n" + part.headers +
                "Content-Range: bytes " + std::to_string(part.range.first) + "-" + std::to_string(part.range.last) +
                "/" + std::to_string(kFile.size()) + "\r\n\r\n" + kFile.substr(part.range.first, part.range.Size());
    }
    return body + "\r\n" + closing;
}

struct Outcome {
    bool fed = false;
    bool finished = false;
    ByterangesFault fault = ByterangesFault::kNone;
    std::string file;  // what the parts wrote, at their offsets; '?' where nothing came
};

Outcome Parse(const std::vector<ByteRange>& requested, const std::string& body, std::size_t piece = 4096,
              std::uint64_t refuseAt = ~std::uint64_t{0})
{
    Outcome outcome;
    outcome.file.assign(kFile.size(), '?');
    ByterangesParser parser(kBoundary, requested, kFile.size(), [&](std::uint64_t offset, const char* data,
                                                                     std::size_t size) {
        if (offset + size > refuseAt)
            return false;
        outcome.file.replace(offset, size, data, size);
        return true;
    });
    outcome.fed = true;
    for (std::size_t at = 0; at < body.size() && outcome.fed; at += piece)
        outcome.fed = parser.Feed(body.data() + at, std::min(piece, body.size() - at));
    outcome.finished = outcome.fed && parser.Finish();
    outcome.fault = parser.Fault();
    return outcome;
}

// kFile with '?' outside the ranges.
std::string Expected(const std::vector<ByteRange>& ranges)
{
    std::string file(kFile.size(), '?');
    for (const ByteRange& range : ranges)
        file.replace(range.first, range.Size(), kFile.substr(range.first, range.Size()));
    return file;
}

}

TEST(Byteranges, BoundaryComesFromTheContentType)
{
    EXPECT_EQ(ByterangesBoundary("multipart/byteranges; boundary=00000000000000000001"), "00000000000000000001");
    EXPECT_EQ(ByterangesBoundary("Multipart/ByteRanges;charset=x; BOUNDARY=\"a;b c\"; x=y"), "a;b c");
    EXPECT_EQ(ByterangesBoundary("multipart/byteranges;boundary=" + std::string(70, 'b')), std::string(70, 'b'));
    for (const std::string refused : {"multipart/mixed; boundary=x", "multipart/byteranges", "text/html",
                                      "multipart/byteranges; boundary=", "multipart/byteranges; boundary=\"x",
                                      "multipart/byteranges; boundary=a\x01z", "multipart/byteranges; boundary"}) {
        EXPECT_FALSE(ByterangesBoundary(refused)) << refused;
    }
    EXPECT_FALSE(ByterangesBoundary("multipart/byteranges; boundary=" + std::string(71, 'b')));
}

TEST(Byteranges, ReadsEveryPartToItsPlaceWhateverThePieces)
{
    const std::vector<ByteRange> requested{{0, 99}, {500, 4999}, {9990, 9999}};
    const std::string body = Body({{requested[0], ""}, {requested[1], "X-Extra: yes\r\n"}, {requested[2], ""}});
    for (const std::size_t piece : {std::size_t{1}, std::size_t{13}, body.size()}) {
        const Outcome outcome = Parse(requested, body, piece);
        EXPECT_TRUE(outcome.finished) << piece;
        EXPECT_EQ(outcome.file, Expected(requested)) << piece;
    }
    // Bare line feeds, blanks after a boundary, a closing boundary with no line break after it, and two ranges
    // the server joined into one part (with the bytes between them).
    std::string loose = Body({{{0, 99}, ""}, {{500, 9999}, ""}}, "--" + kBoundary + "--");
    for (std::size_t at = loose.find("\r\n"); at != std::string::npos && at < 200; at = loose.find("\r\n", at))
        loose.erase(at, 1);
    loose.insert(loose.rfind("\r\n--" + kBoundary + "\r\n") + 4 + kBoundary.size(), " \t");
    const Outcome outcome = Parse(requested, loose, 7);
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.file, Expected({{0, 99}, {500, 9999}}));
}

TEST(Byteranges, RefusesABodyThatBreaksTheFormOrACap)
{
    const std::vector<ByteRange> requested{{0, 99}, {500, 599}};
    const std::string good = Body({{requested[0], ""}, {requested[1], ""}});
    const auto changed = [&](const std::string& from, const std::string& to) {
        std::string body = good;
        body.replace(body.find(from), from.size(), to);
        return body;
    };
    const std::string second = "Content-Range: bytes 500-599/10000";
    const struct {
        const char* what;
        std::string body;
        ByterangesFault fault;
    } cases[] = {
        {"a third part", Body({{{0, 99}, ""}, {{500, 549}, ""}, {{550, 599}, ""}}), ByterangesFault::kTooManyParts},
        {"a long header", changed("Content-Type", std::string(1100, 'x') + ": y\r\nContent-Type"),
         ByterangesFault::kTooLong},
        {"a long preamble", std::string(1100, 'p') + good, ByterangesFault::kTooLong},
        {"a long epilogue", good + std::string(1100, 'e'), ByterangesFault::kTooLong},
        {"no Content-Range", changed(second, "X-Range: bytes 500-599/10000"), ByterangesFault::kBadRange},
        {"two Content-Ranges", changed(second, second + "\r\n" + second), ByterangesFault::kBadRange},
        {"another file size", changed(second, "Content-Range: bytes 500-599/10001"), ByterangesFault::kBadRange},
        {"past the span", Body({{{0, 99}, ""}, {{500, 600}, ""}}), ByterangesFault::kBadRange},
        {"out of order", Body({{requested[1], ""}, {requested[0], ""}}), ByterangesFault::kBadRange},
        {"overlapping", Body({{{0, 99}, ""}, {{99, 599}, ""}}), ByterangesFault::kBadRange},
        {"a byte skipped", Body({{{0, 99}, ""}, {{501, 599}, ""}}), ByterangesFault::kBadRange},
        {"a header without a colon", changed("Content-Type: application/octet-stream", "garbage"),
         ByterangesFault::kForm},
        {"more bytes than announced", changed("\r\n--" + kBoundary + "--", "!\r\n--" + kBoundary + "--"),
         ByterangesFault::kForm},
        {"a part missing", Body({{requested[0], ""}}), ByterangesFault::kIncomplete},
        {"no closing boundary", good.substr(0, good.rfind("--" + kBoundary + "--")), ByterangesFault::kIncomplete},
        {"cut in a part", good.substr(0, good.find(second) + 100), ByterangesFault::kIncomplete},
        {"an HTML page", "<html><body>Range Not Satisfiable</body></html>", ByterangesFault::kIncomplete},
    };
    for (const auto& c : cases) {
        const Outcome outcome = Parse(requested, c.body, 5);
        EXPECT_FALSE(outcome.finished) << c.what;
        EXPECT_EQ(outcome.fault, c.fault) << c.what;
    }
    const Outcome refused = Parse(requested, good, 5, 550);
    EXPECT_FALSE(refused.finished);
    EXPECT_EQ(refused.fault, ByterangesFault::kRefused);
}

namespace {

struct RawReply {
    std::string head;
    std::string body;
};

// One GET with a Range header over a plain socket, read until the server closes (at most 10 s of silence): the
// reply's bytes exactly as the server wrote them.
RawReply GetRanges(std::uint16_t port, const std::string& path, const std::string& ranges)
{
    const WinsockSession winsock;
    UniqueSocket connection(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    const DWORD timeoutMs = 10000;
    setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
    if (connect(connection.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return {};
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: " + ranges +
                                "\r\nConnection: close\r\n\r\n";
    send(connection.get(), request.data(), static_cast<int>(request.size()), 0);
    std::string reply;
    char buffer[65536];
    for (int got; (got = recv(connection.get(), buffer, sizeof buffer, 0)) > 0;)
        reply.append(buffer, static_cast<std::size_t>(got));
    const std::size_t end = reply.find("\r\n\r\n");
    if (end == std::string::npos)
        return {};
    return {reply.substr(0, end + 2), reply.substr(end + 4)};
}

std::string HeaderValue(const std::string& head, const std::string& name)
{
    const std::size_t at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos)
        return {};
    const std::size_t start = at + name.size() + 4;
    return head.substr(start, head.find("\r\n", start) - start);
}

}

TEST(Byteranges, ReadsTheMultipartReplyOfNginx)
{
    probe::TempDir root;
    const std::string file = blocktest::RandomBytes(300000, 22);
    probe::WriteFileBytes(root / L"f.bin", file);
    probe::NginxSite site(root.path(), {});
    ASSERT_TRUE(site.running()) << site.failure();

    const std::vector<ByteRange> requested{{0, 99}, {5000, 9999}, {200000, 299999}};
    const RawReply reply = GetRanges(site.Port(), "/f.bin", RangeHeaderValue(requested));
    ASSERT_EQ(reply.head.substr(0, 12), "HTTP/1.1 206") << reply.head;
    const std::optional<std::string> boundary = ByterangesBoundary(HeaderValue(reply.head, "Content-Type"));
    ASSERT_TRUE(boundary) << reply.head;
    EXPECT_EQ(HeaderValue(reply.head, "Content-Length"), std::to_string(reply.body.size()));

    std::string written(file.size(), '?');
    std::uint64_t delivered = 0;
    ByterangesParser parser(*boundary, requested, file.size(), [&](std::uint64_t offset, const char* data,
                                                                    std::size_t size) {
        written.replace(offset, size, data, size);
        delivered += size;
        return true;
    });
    ASSERT_TRUE(parser.Feed(reply.body.data(), reply.body.size()));
    ASSERT_TRUE(parser.Finish());
    for (const ByteRange& range : requested)
        EXPECT_EQ(written.substr(range.first, range.Size()), file.substr(range.first, range.Size()));
    EXPECT_EQ(delivered, 100u + 5000u + 100000u);

    // As many ranges as one request may carry, all past 4 GiB (the longest numbers), of a sparse 6 GiB file:
    // nginx still takes the request and the reply parses.
    ASSERT_EQ(probe::RunUnixShell(root, "truncate -s 6G big.bin"), 0);
    std::vector<ByteRange> many;
    for (std::uint64_t i = 0; i < 300; ++i)
        many.push_back({(4500ull << 20) + i * 3000000, (4500ull << 20) + i * 3000000 + 999});
    const std::vector<ByteRange> first = GroupRanges(many, RangeRequestLimits{}).front();
    ASSERT_EQ(first.size(), kMaxRangesPerRequest);
    const RawReply big = GetRanges(site.Port(), "/big.bin", RangeHeaderValue(first));
    ASSERT_EQ(big.head.substr(0, 12), "HTTP/1.1 206") << big.head;
    std::uint64_t zeros = 0;
    ByterangesParser bigParser(*ByterangesBoundary(HeaderValue(big.head, "Content-Type")), first, 6ull << 30,
                               [&](std::uint64_t, const char* data, std::size_t size) {
                                   zeros += static_cast<std::uint64_t>(std::count(data, data + size, '\0'));
                                   return true;
                               });
    EXPECT_TRUE(bigParser.Feed(big.body.data(), big.body.size()) && bigParser.Finish());
    EXPECT_EQ(zeros, kMaxRangesPerRequest * 1000);
}
