#!/usr/bin/env python3
"""An update site for benchmarks and harnesses: serves the files of one folder over HTTP/1.1 with kept-alive
connections on the loopback address, and plays the world a long way off or breaking down on purpose: a pause
before every answer, a connection cut part way through the first download of a path, ranges honoured or not, a
validator that changes with every answer. Every answer is logged with the bytes of body it sent. It stops by
itself after --lifetime seconds, or earlier after --idle seconds without a request.

Usage:
  bench_site.py FOLDER [--port N] [--port-file FILE] [--lifetime S] [--idle S] [--delay MS]
                [--cut PATH=FRACTION ...] [--no-ranges] [--changing-validator] [--log FILE]

--delay MS       wait this long before answering each request (a stand-in for a distant site; there is no
                 traffic shaping here)
--cut PATH=F     the first GET of PATH (as requested, e.g. /big.bin) announces the whole length but sends only the
                 fraction F of the body, then closes the connection; later GETs of PATH are answered normally
--no-ranges      ignore Range and answer every GET with the whole file (no Accept-Ranges header)
--changing-validator
                 a new ETag with every answer (and no Last-Modified), so If-Range never matches and a resumed
                 download must start again from the beginning
--log FILE       one JSON line per answer: method, path, status, bytes of body sent, the Range, If-Range,
                 Cache-Control, Pragma and User-Agent headers of the request, whether the connection was cut,
                 and the client's port (one per connection)

Ranges: a single "bytes=A-B", "bytes=A-" or "bytes=-N" is answered with 206 and Content-Range; anything else
(several ranges, a malformed one) with the whole file; a range starting past the end with 416. If-Range with a
validator other than the current ETag or Last-Modified gets the whole file.
"""
import argparse
import email.utils
import http.server
import json
import os
import pathlib
import re
import socket
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))
import update_site  # noqa: E402  (the trial site's serving loop)

RANGE = re.compile(r"^bytes=(\d*)-(\d*)$")


class BenchHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VornBenchSite/1.0"
    # The head and the body go out in two writes; with Nagle's algorithm the body would wait for the client's
    # delayed acknowledgement of the head (40 ms on Linux) and every answer would look that much further away.
    disable_nagle_algorithm = True

    def log_message(self, format, *args):
        if self.server.verbose:
            sys.stderr.write("%s %s\n" % (self.address_string(), format % args))

    def do_HEAD(self):
        self.answer(with_body=False)

    def do_GET(self):
        self.answer(with_body=True)

    def answer(self, with_body):
        site = self.server
        site.last_request = time.monotonic()
        if site.delay > 0:
            time.sleep(site.delay)
        target = urllib.parse.urlsplit(self.path).path
        path = site.resolve(target)
        record = {"method": self.command, "path": target, "range": self.headers.get("Range"),
                  "if_range": self.headers.get("If-Range"), "cache_control": self.headers.get("Cache-Control"),
                  "pragma": self.headers.get("Pragma"), "status": 404, "sent": 0, "cut": False,
                  "agent": self.headers.get("User-Agent"), "peer": self.client_address[1]}
        try:
            if path is None:
                body = b"not found\n"
                self.head(404, len(body), {})
                if with_body:
                    self.wfile.write(body)
                    record["sent"] = len(body)
                return
            self.serve_file(path, target, with_body, record)
        finally:
            site.write_log(record)

    def serve_file(self, path, target, with_body, record):
        site = self.server
        with open(path, "rb") as body:
            stat = os.fstat(body.fileno())
            size = stat.st_size
            headers = {"Content-Type": "application/octet-stream"}
            etag, modified = site.validators(stat)
            headers["ETag"] = etag
            if modified:
                headers["Last-Modified"] = modified
            if site.ranges:
                headers["Accept-Ranges"] = "bytes"
            first, last = 0, size - 1
            status = 200
            wanted = self.requested_range(size) if site.ranges else None
            validator = self.headers.get("If-Range")
            if wanted is not None and validator is not None and validator not in (etag, modified):
                wanted = None
            if wanted == "unsatisfiable":
                headers["Content-Range"] = "bytes */%d" % size
                record["status"] = 416
                self.head(416, 0, headers)
                return
            if wanted is not None:
                first, last = wanted
                status = 206
                headers["Content-Range"] = "bytes %d-%d/%d" % (first, last, size)
            length = last - first + 1
            record["status"] = status
            cut = with_body and site.take_cut(target)
            if cut is not None:
                headers["Connection"] = "close"
                self.close_connection = True
            self.head(status, length, headers)
            if not with_body:
                return
            count = length if cut is None else int(length * cut)
            record["cut"] = cut is not None
            record["sent"] = self.send_body(body, first, count)
            if cut is not None:
                self.connection.shutdown(socket.SHUT_RDWR)

    def requested_range(self, size):
        """(first, last) of a single satisfiable range, "unsatisfiable", or None for the whole file."""
        text = self.headers.get("Range")
        match = RANGE.match(text.strip()) if text else None
        if match is None or match.group(1) == match.group(2) == "":
            return None
        if match.group(1) == "":
            suffix = int(match.group(2))
            return (max(0, size - suffix), size - 1) if suffix > 0 and size > 0 else "unsatisfiable"
        first = int(match.group(1))
        last = min(int(match.group(2)), size - 1) if match.group(2) else size - 1
        if first >= size:
            return "unsatisfiable"
        return (first, last) if first <= last else None

    def head(self, status, length, headers):
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(length))
        self.end_headers()
        self.wfile.flush()

    def send_body(self, body, offset, count):
        """Sends count bytes of body from offset; the bytes that went out, also when the peer went away."""
        if count <= 0:
            return 0
        body.seek(offset)
        try:
            self.connection.sendfile(body, offset, count)
        except OSError:
            self.close_connection = True
        return body.tell() - offset


class BenchSite(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 128

    def __init__(self, folder, port, options):
        super().__init__(("127.0.0.1", port), BenchHandler)
        self.folder = pathlib.Path(folder).resolve()
        self.delay = options.delay / 1000.0
        self.cuts = dict(options.cuts)
        self.ranges = not options.no_ranges
        self.changing_validator = options.changing_validator
        self.verbose = options.verbose
        self.last_request = time.monotonic()
        self.lock = threading.Lock()
        self.answers = 0
        self.log = open(options.log, "a", encoding="utf-8") if options.log else None

    def resolve(self, target):
        return update_site.resolve_file(self.folder, target)

    def validators(self, stat):
        """The ETag and Last-Modified (None when changing) of a file for the next answer."""
        with self.lock:
            self.answers += 1
            answer = self.answers
        if self.changing_validator:
            return '"%x-%x-%d"' % (stat.st_size, stat.st_mtime_ns, answer), None
        return '"%x-%x"' % (stat.st_size, stat.st_mtime_ns), email.utils.formatdate(stat.st_mtime, usegmt=True)

    def take_cut(self, target):
        """The fraction to cut the answer at when this is the first GET of a cut path, else None."""
        with self.lock:
            return self.cuts.pop(target, None)

    def write_log(self, record):
        if self.log is None:
            return
        with self.lock:
            self.log.write(json.dumps(record, ensure_ascii=False) + "\n")
            self.log.flush()


def parse_cut(item):
    target, _, fraction = item.rpartition("=")
    try:
        value = float(fraction)
    except ValueError:
        value = -1.0
    if not target.startswith("/") or not 0.0 <= value < 1.0:
        raise argparse.ArgumentTypeError("a cut is /PATH=FRACTION with 0 <= FRACTION < 1: " + item)
    return target, value


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--lifetime", type=float, default=600.0, help="stop after this many seconds")
    parser.add_argument("--idle", type=float, default=0.0, help="stop after this many seconds without a request")
    parser.add_argument("--delay", type=float, default=0.0, metavar="MS")
    parser.add_argument("--cut", dest="cuts", type=parse_cut, action="append", default=[], metavar="PATH=FRACTION")
    parser.add_argument("--no-ranges", action="store_true")
    parser.add_argument("--changing-validator", action="store_true")
    parser.add_argument("--log")
    parser.add_argument("--verbose", action="store_true")
    options = parser.parse_args()
    if not pathlib.Path(options.folder).is_dir():
        raise SystemExit("bench_site.py: no such folder: " + options.folder)

    site = BenchSite(options.folder, options.port, options)
    update_site.serve(site, options.port_file, options.lifetime, options.idle)

if __name__ == "__main__":
    main()
