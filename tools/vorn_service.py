#!/usr/bin/env python3
"""Reference directory and authorisation service for the Vorn launcher.

One process serves both kinds of listener of the line protocol (one request line, one reply, connection closed):

  directory (default 127.0.0.1:33556)
      "LIST"     -> "OK LIST <count>", one "REGION<TAB>id<TAB>name<TAB>host<TAB>port<TAB>extra" line per region
                    of the regions file, "END"
  authorisation (every --auth-port)
      "CAPTCHA"  -> "OK CAPTCHA<TAB><16-character code>"   (or "ERR CAPTCHA_DISABLED" with --captcha none)
      "AUTH<TAB>version<TAB>sub-version<TAB>client code<TAB>client id<TAB>hardware id<TAB>dynamic code"
                 -> "OK AUTH<TAB>connect host<TAB>connect port", or a refusal line beginning with "ERR"

Anything else is answered "ERR UNKNOWN_COMMAND"; a request line longer than 8191 bytes or silent for 10 seconds
ends the connection. Every request is logged, one line each, to stderr or --log FILE. SIGTERM and SIGINT stop
the service cleanly.

Regions file: UTF-8, one region per line, tab-separated "id<TAB>name<TAB>host<TAB>port[<TAB>extra]"; empty lines
and lines starting with "#" are skipped. In the host field "{host}" stands for the listen address; a port field
"{auth}" or "{authN}" stands for the port the first (or N-th, from 0) --auth-port listener was bound to, so that
"--auth-port 0" works.

Examples:
  python3 tools/vorn_service.py --regions tools/regions.example.tsv --auth-port 7101 --auth-port 7102
  python3 tools/vorn_service.py --regions r.tsv --auth-port 7101 --refuse BLOCKED --log service.log
"""
import argparse
import collections
import datetime
import errno
import secrets
import signal
import socket
import socketserver
import string
import sys
import threading

from port_holder import taken_message

MAX_REQUEST_BYTES = 8191
REQUEST_TIMEOUT_SECONDS = 10
CODE_ALPHABET = string.ascii_uppercase + string.digits
RECENT_CODES = 4096


class ConfigError(Exception):
    pass


def read_regions(path):
    """The region records of a regions file: (id, name, host, port text, extra), validated."""
    records = []
    if path is None:
        return records
    with open(path, encoding="utf-8") as source:
        for number, raw in enumerate(source, 1):
            line = raw.rstrip("\r\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            fields = line.split("\t")
            if len(fields) not in (4, 5):
                raise ConfigError(f"{path}:{number}: expected id, name, host, port[, extra] separated by tabs")
            if len(fields) == 4:
                fields.append("")
            records.append(tuple(fields))
    return records


def expand_regions(records, listen_host, auth_ports):
    """REGION lines with the placeholders filled in; every port must end up 1..65535."""
    lines = []
    for region_id, name, host, port, extra in records:
        host = host.replace("{host}", listen_host)
        if port.startswith("{auth") and port.endswith("}"):
            index_text = port[len("{auth"):-1]
            index = int(index_text) if index_text.isdigit() else 0 if index_text == "" else -1
            if not 0 <= index < len(auth_ports):
                raise ConfigError(f"region {region_id}: {port} names no --auth-port listener")
            port = str(auth_ports[index])
        if not port.isdigit() or not 1 <= int(port) <= 65535:
            raise ConfigError(f"region {region_id}: port {port!r} is not 1..65535")
        for field in (region_id, name, host, extra):
            if any(c in field for c in "\t\r\n"):
                raise ConfigError(f"region {region_id}: fields may not hold tabs or line breaks")
        lines.append("\t".join(("REGION", region_id, name, host, port, extra)))
    return lines


class Service:
    """What the listeners answer, shared by all their connection threads."""

    def __init__(self, options, log):
        self.options = options
        self.log = log
        self.region_lines = []
        self.issued_codes = collections.deque(maxlen=RECENT_CODES)
        self.codes_lock = threading.Lock()

    def answer(self, role, request):
        """The reply lines (text) for one request line (bytes, without its line feed)."""
        if request.endswith(b"\r"):
            request = request[:-1]
        if role == "directory" and request == b"LIST":
            return [f"OK LIST {len(self.region_lines)}"] + self.region_lines + ["END"]
        if role == "auth" and request == b"CAPTCHA":
            return [self.captcha()]
        if role == "auth" and request.split(b"\t")[0] == b"AUTH":
            return [self.auth(request)]
        return ["ERR UNKNOWN_COMMAND"]

    def captcha(self):
        mode = self.options.captcha
        if mode == "none":
            return "ERR CAPTCHA_DISABLED"
        code = "".join(secrets.choice(CODE_ALPHABET) for _ in range(16)) if mode == "random" else mode
        with self.codes_lock:
            self.issued_codes.append(code)
        return f"OK CAPTCHA\t{code}"

    def auth(self, request):
        opts = self.options
        if opts.auth_reply is not None:
            return opts.auth_reply
        if opts.refuse is not None:
            return f"ERR {opts.refuse}"
        try:
            fields = request.decode("utf-8").split("\t")
        except UnicodeDecodeError:
            return "ERR AUTH_FORMAT"
        if len(fields) != 7:
            return "ERR AUTH_FORMAT"
        _, version, sub_version, client_code, client_id, hardware_id, dynamic_code = fields
        if (opts.client_version is not None and version != opts.client_version) or \
                (opts.client_sub_version is not None and sub_version != opts.client_sub_version):
            return "ERR CLIENT_VERSION"
        if len(client_code) != 16:
            return "ERR CLIENT_VERSION"
        if not client_id.strip() or not hardware_id.strip():
            return "ERR CLIENT_ID"
        if opts.captcha != "none":
            with self.codes_lock:
                known = dynamic_code in self.issued_codes
            if not known:
                return "ERR CAPTCHA"
        return f"OK AUTH\t{opts.connect_host}\t{opts.connect_port}"


class LineHandler(socketserver.BaseRequestHandler):
    def handle(self):
        server = self.server
        peer = "%s:%s" % self.client_address[:2]
        self.request.settimeout(REQUEST_TIMEOUT_SECONDS)
        request, problem = read_request(self.request)
        if problem:
            server.service.log(f"{server.role} {peer} {problem} after {bytes(request)[:80]!r}")
            if problem == "request too long":
                self.send_lines(["ERR REQUEST_TOO_LONG"])
            return
        try:
            reply = server.service.answer(server.role, bytes(request))
        except Exception as error:  # a bad request must never take the service down
            server.service.log(f"{server.role} {peer} {bytes(request)!r} failed: {error!r}")
            reply = ["ERR INTERNAL"]
        server.service.log(f"{server.role} {peer} {bytes(request)!r} -> {reply[0]!r}"
                           + (f" (+{len(reply) - 1} lines)" if len(reply) > 1 else ""))
        self.send_lines(reply)

    def send_lines(self, lines):
        try:
            self.request.sendall("".join(line + "\n" for line in lines).encode("utf-8"))
        except OSError:
            pass


def read_request(connection):
    """The request line and what went wrong (None when a whole line arrived)."""
    request = bytearray()
    while True:
        try:
            chunk = connection.recv(1)
        except socket.timeout:
            return request, "silent"
        except OSError as error:
            return request, f"receive failed ({error})"
        if not chunk:
            return request, "closed before a line feed"
        if chunk == b"\n":
            return request, None
        request += chunk
        if len(request) > MAX_REQUEST_BYTES:
            return request, "request too long"


class LineServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, host, port, role, service):
        self.address_family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.role = role
        self.service = service
        super().__init__((host, port), LineHandler)

    def handle_error(self, request, client_address):
        self.service.log(f"{self.role} {client_address} connection error: {sys.exc_info()[1]!r}")


def listen(host, port, role, service):
    """A listener, or a ConfigError that names what holds a taken port."""
    try:
        return LineServer(host, port, role, service)
    except OSError as error:
        if error.errno != errno.EADDRINUSE:
            raise
        raise ConfigError(taken_message(port, f"the {role} listener") or f"port {port}: {error.strerror}")


def make_logger(path):
    lock = threading.Lock()
    stream = open(path, "a", encoding="utf-8", buffering=1) if path else sys.stderr

    def log(text):
        stamp = datetime.datetime.now().strftime("%H:%M:%S.%f")[:-3]
        with lock:
            stream.write(f"{stamp} {text}\n")
            stream.flush()
    return log


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0], epilog=__doc__.split("\n\n", 1)[1],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--directory-port", type=int, default=33556,
                        help="directory listener port (default 33556, 0 = any free port)")
    parser.add_argument("--no-directory", action="store_true", help="run the authorisation listeners only")
    parser.add_argument("--regions", metavar="FILE", help="regions file served by LIST (default: no regions)")
    parser.add_argument("--auth-port", type=int, action="append", default=[], metavar="PORT",
                        help="an authorisation listener (repeatable, 0 = any free port)")
    parser.add_argument("--connect-host", help="connect server host in OK AUTH (default: the listen address)")
    parser.add_argument("--connect-port", type=int, default=55960,
                        help="connect server port in OK AUTH (default 55960)")
    parser.add_argument("--captcha", default="random", metavar="CODE|random|none",
                        help="CAPTCHA answer: a fresh random 16-character code (default), this fixed code, "
                             "or none (CAPTCHA refused and AUTH not checked against a code)")
    parser.add_argument("--refuse", metavar="CODE", help='answer every AUTH with "ERR CODE", e.g. BLOCKED')
    parser.add_argument("--auth-reply", metavar="LINE", help="answer every AUTH with exactly this line")
    parser.add_argument("--auth-reply-escaped", metavar="LINE",
                        help="like --auth-reply, LINE being ASCII with backslash escapes (\\x00, \\u202e, \\\\) "
                             "for characters a command line cannot carry, such as NUL")
    parser.add_argument("--client-version", help="refuse AUTH from other client versions (ERR CLIENT_VERSION)")
    parser.add_argument("--client-sub-version", help="refuse AUTH from other sub-versions (ERR CLIENT_VERSION)")
    parser.add_argument("--log", metavar="FILE", help="append the request log to FILE instead of stderr")
    parser.add_argument("--lifeline", type=int, metavar="PORT",
                        help="for test harnesses: connect to 127.0.0.1:PORT, send "
                             "'READY <directory port> <auth ports...>' (or 'FAILED <reason>') there and stop "
                             "when it closes")
    options = parser.parse_args(argv)
    if options.connect_host is None:
        options.connect_host = options.host
    if options.no_directory and not options.auth_port:
        parser.error("nothing to serve: --no-directory without --auth-port")
    for port in options.auth_port + [options.directory_port, options.connect_port]:
        if not 0 <= port <= 65535:
            parser.error(f"port {port} is out of range")
    if options.auth_reply_escaped is not None:
        try:
            options.auth_reply = options.auth_reply_escaped.encode("ascii").decode("unicode_escape")
        except (UnicodeEncodeError, UnicodeDecodeError):
            parser.error("--auth-reply-escaped takes ASCII text with valid backslash escapes")
    for text in (options.refuse, options.auth_reply, options.connect_host):
        if text is not None and any(c in text for c in "\r\n"):
            parser.error("replies may not hold line breaks")
    return options


def serve(options):
    log = make_logger(options.log)
    service = Service(options, log)
    stop = threading.Event()
    servers = []
    try:
        try:
            records = read_regions(options.regions)
            auth_servers = []
            for port in options.auth_port:
                auth_servers.append(listen(options.host, port, "auth", service))
                servers.append(auth_servers[-1])
            auth_ports = [s.server_address[1] for s in auth_servers]
            service.region_lines = expand_regions(records, options.host, auth_ports)
            directory_port = 0
            if not options.no_directory:
                directory = listen(options.host, options.directory_port, "directory", service)
                servers.append(directory)
                directory_port = directory.server_address[1]
        except (OSError, ConfigError, UnicodeDecodeError) as error:
            print(f"vorn_service: {error}", file=sys.stderr)
            if options.lifeline is not None:
                report_failure(options.lifeline, error)
            return 2

        for signal_number in (signal.SIGTERM, signal.SIGINT):
            signal.signal(signal_number, lambda *_: stop.set())
        threads = [threading.Thread(target=s.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
                   for s in servers]
        for thread in threads:
            thread.start()
        log(f"listening on {options.host}: directory {directory_port or 'off'}, "
            f"auth {' '.join(map(str, auth_ports)) or 'none'}, {len(service.region_lines)} regions")
        if options.lifeline is not None:
            if not hold_lifeline(options.lifeline, directory_port, auth_ports, stop, log):
                return 2
        while not stop.wait(0.5):
            pass
        log("stopping")
        for s in servers:
            s.shutdown()
        return 0
    finally:
        for s in servers:
            s.server_close()


def report_failure(port, error):
    """Tells whoever started us that the service could not start, so it need not wait."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as lifeline:
            lifeline.sendall(f"FAILED {error}".replace("\n", " ").encode("utf-8", "replace") + b"\n")
    except OSError:
        pass


def hold_lifeline(port, directory_port, auth_ports, stop, log):
    """Reports the bound ports to whoever started us and stops the service once that connection closes."""
    try:
        lifeline = socket.create_connection(("127.0.0.1", port), timeout=10)
        lifeline.settimeout(None)
        lifeline.sendall(" ".join(["READY", str(directory_port)] + [str(p) for p in auth_ports]).encode() + b"\n")
    except OSError as error:
        log(f"lifeline port {port}: {error}")
        return False

    def watch():
        try:
            while lifeline.recv(256):
                pass
        except OSError:
            pass
        log("lifeline closed")
        stop.set()
    threading.Thread(target=watch, daemon=True).start()
    return True


def main(argv=None):
    return serve(parse_arguments(sys.argv[1:] if argv is None else argv))


if __name__ == "__main__":
    sys.exit(main())
