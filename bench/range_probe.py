#!/usr/bin/env python3
"""How to fetch the missing ranges of a file from nginx: several ranges per request (a multipart/byteranges
reply) or one range per request over several kept-alive connections, measured in one run against the project's
nginx (tools/nginx_site.py) serving a 512 MiB file, on loopback and through a line model: a relay on loopback
that delays every piece by half a round trip each way and shares one downstream rate among all connections, as a
player's line does. Prints, per line and range set, the time and the bytes received of each way of asking, the
largest number of ranges nginx takes in one request, and what a range request beyond it gets; then, for the size
threshold of block indexes, per line and file size, a whole download against block reuse (the index, then one
request for a changed region of 64 KiB, plus the scan of the old copy at 250 MiB/s).

Usage: range_probe.py [--quick]   (loopback ports only; run it in a network namespace of one's own)"""
import argparse
import http.client
import os
import pathlib
import random
import socket
import subprocess
import sys
import tempfile
import threading
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
FILE_SIZE = 512 << 20
BLOCK = 8192


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class LineRelay:
    """Relays loopback connections to `target` with `rtt` seconds of round trip and `rate` bytes a second shared
    by every connection downstream (0: unlimited)."""

    def __init__(self, target, rtt, rate):
        self.target, self.rtt, self.rate = target, rtt, rate
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.next_free = time.monotonic()  # when the shared downstream line is free again
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(("127.0.0.1", self.target))
            # The relay writes each piece when it is due; Nagle's wait for an acknowledgement would add a delayed
            # acknowledgement's 40 ms to every reply that comes in more than one piece.
            for end in (client, upstream):
                end.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for a, b, down in ((client, upstream, False), (upstream, client, True)):
                threading.Thread(target=self.pump, args=(a, b, down), daemon=True).start()

    def pump(self, source, sink, downstream):
        """Reads from source and hands each piece, stamped with when it reaches the other end, to a writer: the
        pieces travel in a pipeline, as on a line, instead of waiting for each other's delay."""
        pieces = []
        ready = threading.Condition()

        def write():
            while True:
                with ready:
                    while not pieces:
                        ready.wait()
                    due, data = pieces.pop(0)
                delay = due - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                if data is None:
                    break
                try:
                    sink.sendall(data)
                except OSError:
                    break
            try:
                sink.shutdown(socket.SHUT_WR)
            except OSError:
                pass

        threading.Thread(target=write, daemon=True).start()
        while True:
            try:
                data = source.recv(16384)
            except OSError:
                data = b""
            now = time.monotonic()
            due = now + self.rtt / 2
            if data and downstream and self.rate:
                with self.lock:
                    start = max(self.next_free, now)
                    self.next_free = start + len(data) / self.rate
                    due = self.next_free + self.rtt / 2
            with ready:
                pieces.append((due, data or None))
                ready.notify()
            if not data:
                break

    def close(self):
        self.listener.close()


def header_value(ranges):
    return "bytes=" + ",".join("%d-%d" % r for r in ranges)


def fetch(port, requests):
    """Runs the requests (each a list of ranges) in order over one kept-alive connection; the bytes received."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
    received = 0
    try:
        for ranges in requests:
            connection.request("GET", "/big.bin", headers={"Range": header_value(ranges)})
            reply = connection.getresponse()
            body = reply.read()
            if reply.status != 206:
                raise RuntimeError("status %d for %d ranges" % (reply.status, len(ranges)))
            received += len(body) + sum(len(k) + len(v) + 4 for k, v in reply.getheaders()) + 17
    finally:
        connection.close()
    return received


def measure(port, ranges, per_request, connections):
    """Seconds and bytes to fetch `ranges`, `per_request` of them per request, over `connections` at once."""
    requests = [ranges[i:i + per_request] for i in range(0, len(ranges), per_request)]
    shares = [requests[i::connections] for i in range(connections)]
    results = [0] * connections
    errors = []

    def work(i):
        try:
            results[i] = fetch(port, shares[i])
        except (OSError, RuntimeError, http.client.HTTPException) as error:
            errors.append(error)

    start = time.monotonic()
    threads = [threading.Thread(target=work, args=(i,)) for i in range(connections)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        return None, str(errors[0])
    return time.monotonic() - start, sum(results)


def range_sets(quick):
    rng = random.Random(24)
    def scattered(count, blocks):
        starts = sorted(rng.sample(range(0, FILE_SIZE // BLOCK - blocks, blocks + 1), count))
        return [(s * BLOCK, (s + blocks) * BLOCK - 1) for s in starts]
    sets = [("16 x 72 KiB (16 changed regions)", scattered(16, 9)),
            ("200 x 8 KiB (scattered small changes)", scattered(200, 1))]
    if not quick:
        sets.append(("1000 x 8 KiB (many small changes)", scattered(1000, 1)))
    return sets


def largest_accepted(port):
    """The most 8 KiB ranges nginx takes in one request (its request header must fit its 8 KiB buffer)."""
    ranges = [(s * 2 * BLOCK + 123456789, s * 2 * BLOCK + 123456789 + BLOCK - 1) for s in range(2000)]
    low, high = 1, len(ranges)
    while low < high:
        middle = (low + high + 1) // 2
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        connection.request("GET", "/big.bin", headers={"Range": header_value(ranges[:middle])})
        status = connection.getresponse().status
        connection.close()
        if status == 206:
            low = middle
        else:
            high = middle - 1
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    connection.request("GET", "/big.bin", headers={"Range": header_value(ranges[:low + 1])})
    beyond = connection.getresponse()
    connection.close()
    return low, len(header_value(ranges[:low])), beyond.status


def threshold(port, line):
    """A whole download of files of a few sizes against block reuse for one changed region of 64 KiB."""
    print("%s, whole file against block reuse (one changed region of 64 KiB):" % line)
    for size in (128 << 10, 512 << 10, 1 << 20, 4 << 20, 16 << 20):
        whole, _ = measure(port, [(0, size - 1)], 1, 1)
        index = 24 + 12 * (-(-size // BLOCK))
        changed = min(size, 9 * BLOCK)
        reuse, _ = measure(port, [(size, size + index - 1), (2 * size, 2 * size + changed - 1)], 1, 1)
        scan = size / (250 << 20)
        print("  %6d KiB: whole %6.3f s, reuse %6.3f s (%6.3f s fetching, %6.3f s scanning)"
              % (size >> 10, whole, reuse + scan, reuse, scan))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer range sets and lines")
    args = parser.parse_args()
    work = tempfile.TemporaryDirectory(prefix="vorn-range-probe-")
    root = pathlib.Path(work.name)
    (root / "site").mkdir()
    with open(root / "site" / "big.bin", "wb") as stream:
        stream.truncate(FILE_SIZE)  # sparse: nginx reads zeros as fast as any bytes
    port = free_port()
    ready = root / "ready"
    site = subprocess.Popen([sys.executable, str(REPO / "tools" / "nginx_site.py"), str(root / "site"), "--prefix",
                             str(root / "nginx"), "--http", str(port), "--ready-file", str(ready), "--lifetime",
                             "1800"], stdout=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 20
        while not ready.exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        if not ready.exists():
            raise SystemExit("range_probe: nginx did not start")
        count, header, status = largest_accepted(port)
        print("nginx takes at most %d ranges in one request (a Range header of %d bytes); one more gets %d"
              % (count, header, status))
        lines = [("loopback", 0, 0), ("20 ms, 12 MiB/s", 0.02, 12 << 20), ("50 ms, 2 MiB/s", 0.05, 2 << 20)]
        if not args.quick:
            lines.append(("150 ms, 256 KiB/s", 0.15, 256 << 10))
        ways = [("1 range a request, 1 connection", 1, 1), ("1 range a request, 2 connections", 1, 2),
                ("1 range a request, 4 connections", 1, 4), ("1 range a request, 8 connections", 1, 8),
                ("16 ranges a request, 1 connection", 16, 1), ("64 ranges a request, 1 connection", 64, 1),
                ("256 ranges a request, 1 connection", 256, 1), ("64 ranges a request, 2 connections", 64, 2)]
        for line, rtt, rate in lines:
            relay = LineRelay(port, rtt, rate) if rtt or rate else None
            target = relay.port if relay else port
            for name, ranges in range_sets(args.quick):
                payload = sum(last - first + 1 for first, last in ranges)
                print("%s, %s (%.2f MiB of ranges):" % (line, name, payload / (1 << 20)))
                for way, per_request, connections in ways:
                    if per_request > len(ranges) * 2 or (per_request > count):
                        continue
                    seconds, received = measure(target, ranges, per_request, connections)
                    if seconds is None:
                        print("  %-36s failed: %s" % (way, received))
                        continue
                    print("  %-36s %7.2f s  %8.3f MiB received (%5.2f%% beyond the ranges)"
                          % (way, seconds, received / (1 << 20), 100.0 * (received - payload) / payload))
            threshold(target, line)
            if relay:
                relay.close()
    finally:
        site.terminate()
        site.wait(20)
        work.cleanup()


if __name__ == "__main__":
    main()
