#!/usr/bin/env python3
"""Serves an update site: the files of one folder over HTTP on the loopback address, answering chosen paths
badly on purpose: the faults a real web server does not play (the demo and the end-to-end journeys serve with
nginx through tools/nginx_site.py otherwise). It stops by itself after --lifetime seconds, or earlier after
--idle seconds without a request.

Usage:
  update_site.py FOLDER [--port N] [--port-file FILE] [--lifetime S] [--idle S] [--fault PATH=MODE ...]

--port 0 (the default) picks a free port; --port-file receives the port number once the site listens.
A fault makes one path (as requested, for example /up.ini) answer badly on purpose:
  404       status 404
  nolength  the file without a Content-Length header (the body ends when the connection closes)
  short     a Content-Length larger than the body; only half of the file is sent
  empty     status 200 with an empty body and no Content-Length
  slow      the file in 16 KiB pieces, 0.2 s apart
  drip      the file's Content-Length, then one byte every 20 s
  endless   the file without a Content-Length, again and again until the peer goes away
"""
import argparse
import http.server
import os
import pathlib
import sys
import threading
import time
import urllib.parse

FAULTS = ("404", "nolength", "short", "empty", "slow", "drip", "endless")


class SiteHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VornUpdateSite/1.0"

    def log_message(self, format, *args):
        if self.server.verbose:
            sys.stderr.write("%s %s\n" % (self.address_string(), format % args))

    def do_GET(self):
        self.server.last_request = time.monotonic()
        target = urllib.parse.urlsplit(self.path).path
        fault = self.server.faults.get(target)
        path = self.server.resolve(target)
        if fault == "404" or path is None:
            return self.answer(404, b"not found\n")
        if fault == "empty":
            return self.answer(200, b"", length=False)
        with open(path, "rb") as body:
            size = os.fstat(body.fileno()).st_size
            if fault == "short":
                self.head(200, size + 1000)
                self.send_part(body, size // 2)
            elif fault == "nolength":
                self.head(200, None)
                self.send_part(body, size)
            elif fault == "slow":
                self.head(200, size)
                while self.send_part(body, 16384):
                    time.sleep(0.2)
            elif fault == "drip":
                self.head(200, size)

                def drip():
                    if not self.send_part(body, 1):
                        return False
                    time.sleep(20)
                    return True

                self.keep_sending(drip)
            elif fault == "endless":
                self.head(200, None)
                data = body.read() or b"\n"
                data *= max(1, 65536 // len(data))

                def again():
                    self.wfile.write(data)
                    return True

                self.keep_sending(again)
            else:
                self.head(200, size)
                self.wfile.flush()
                self.connection.sendfile(body)

    def head(self, status, length):
        self.send_response(status)
        self.send_header("Connection", "close")
        if length is not None:
            self.send_header("Content-Length", str(length))
        self.end_headers()
        self.close_connection = True

    def answer(self, status, body, length=True):
        self.head(status, len(body) if length else None)
        self.wfile.write(body)

    def keep_sending(self, step):
        """Calls step until it returns false or the peer goes away."""
        try:
            while step():
                pass
        except (BrokenPipeError, ConnectionResetError):
            pass

    def send_part(self, body, size):
        data = body.read(size)
        self.wfile.write(data)
        self.wfile.flush()
        return len(data) == size


def resolve_file(folder, target):
    """The file a request path names under folder, or None when it is missing or lies outside the folder."""
    try:
        relative = urllib.parse.unquote(target, errors="strict").lstrip("/")
    except UnicodeDecodeError:
        return None
    path = (folder / relative).resolve()
    if path != folder and folder not in path.parents:
        return None
    return path if path.is_file() else None


class UpdateSite(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, folder, port, faults, verbose):
        super().__init__(("127.0.0.1", port), SiteHandler)
        self.folder = pathlib.Path(folder).resolve()
        self.faults = faults
        self.verbose = verbose
        self.last_request = time.monotonic()

    def resolve(self, target):
        return resolve_file(self.folder, target)


def parse_faults(items):
    faults = {}
    for item in items:
        target, _, mode = item.rpartition("=")
        if not target.startswith("/") or mode not in FAULTS:
            raise SystemExit("update_site.py: a fault is /PATH=MODE with MODE one of " + ", ".join(FAULTS))
        faults[target] = mode
    return faults


def serve(site, port_file, lifetime, idle):
    """Writes the site's port to port_file (whole, by a rename) and serves until lifetime seconds have passed or,
    with idle above 0, no request came for that long."""
    port = site.server_address[1]
    if port_file:
        temporary = port_file + ".tmp"
        pathlib.Path(temporary).write_text(str(port))
        os.replace(temporary, port_file)
    print("serving %s on http://127.0.0.1:%d/" % (site.folder, port), flush=True)

    started = time.monotonic()

    def watch():
        while True:
            time.sleep(0.2)
            now = time.monotonic()
            if now - started > lifetime or (idle > 0 and now - site.last_request > idle):
                site.shutdown()
                return

    threading.Thread(target=watch, daemon=True).start()
    site.serve_forever(poll_interval=0.2)
    site.server_close()


def main():
    parser = argparse.ArgumentParser(description="Serve an update site folder on 127.0.0.1.")
    parser.add_argument("folder")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--lifetime", type=float, default=600.0, help="stop after this many seconds")
    parser.add_argument("--idle", type=float, default=0.0, help="stop after this many seconds without a request")
    parser.add_argument("--fault", action="append", default=[], metavar="PATH=MODE")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()
    if not pathlib.Path(args.folder).is_dir():
        raise SystemExit("update_site.py: no such folder: " + args.folder)

    site = UpdateSite(args.folder, args.port, parse_faults(args.fault), args.verbose)
    serve(site, args.port_file, args.lifetime, args.idle)

if __name__ == "__main__":
    main()
