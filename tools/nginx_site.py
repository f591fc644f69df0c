#!/usr/bin/env python3
"""Serves a folder (an update site) with nginx on 127.0.0.1, for the demo, the trials and the tests.

Usage:
  nginx_site.py FOLDER --prefix DIR [--http PORT] [--https PORT --cert PEM --key KEY [--tls VERSION ...]]
                [--redirect-to-http PATH ...] [--rate BYTES] [--limit-conn N [--limit-status CODE]
                [--retry-after S]] [--lifetime S] [--ready-file FILE] [--lifeline PORT]
  nginx_site.py --site-conf FILE --prefix DIR --http PORT|--https PORT ... [--lifetime S] [--ready-file FILE]

It writes an nginx configuration whose pid file, logs and temporary folders all lie in the private folder DIR,
runs nginx in the foreground as its child (`nginx -c CONF -p PREFIX`) and stops it on every path: on SIGTERM or
SIGINT, after --lifetime seconds, and (through the parent-death signal) when this script itself dies. It never
touches the machine's own nginx or its configuration, and a port that is taken stops it with the name of the
program that holds the port.

FOLDER is the web root (a request for /updates/up.ini reads FOLDER/updates/up.ini). --https serves TLS with the
given certificate chain and key, speaking TLSv1.2 and TLSv1.3 unless --tls names others (TLSv1 alone plays an
old server). --redirect-to-http makes the HTTPS server answer PATH with a redirect (302) to the same path over
plain HTTP. --rate sends each response at most BYTES a second. --limit-conn serves at most N requests of one
client address at once (nginx's limit_conn) and refuses the others with status 503, or CODE; --retry-after adds
`Retry-After: S` to those refusals. --http 0 takes a free port.

--site-conf serves the server blocks of FILE instead (a site written for a machine's nginx, tried with the
private folder's logs and pid file); --http and --https then only name the ports to wait for.

--ready-file is written once every port accepts connections. --lifeline is for test harnesses: the tool then
connects to 127.0.0.1:PORT, sends "READY <http port>" (or "FAILED <reason>") and stops when that connection
closes. The logs stay in DIR for the caller to read: error.log; access.log with one line a request,
`PORT STATUS "REQUEST LINE"`; and transfers.log with one line a request, `TIME STATUS BODY_BYTES "RANGE" "REQUEST
LINE"` (TIME in seconds since the epoch, to the millisecond, as the request ended; RANGE the request's Range
header, "-" without one)."""
import argparse
import ctypes
import os
import pathlib
import select
import signal
import socket
import subprocess
import sys
import time

from port_holder import taken_message

# Characters nginx would read as syntax or variables inside a quoted path.
UNSAFE_PATH_CHARACTERS = set('"\\$;{}\n\r')
START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 10.0
PR_SET_PDEATHSIG = 1


def quoted(path):
    text = str(pathlib.Path(path).resolve())
    if UNSAFE_PATH_CHARACTERS & set(text):
        raise SystemExit("nginx_site.py: a path nginx cannot be given safely: %r" % text)
    return '"%s"' % text


TLS_VERSIONS = ("TLSv1", "TLSv1.1", "TLSv1.2", "TLSv1.3")


def configuration(folder, prefix, http_port=None, https_port=None, cert=None, key=None, redirects=(), rate=0,
                  tls=("TLSv1.2", "TLSv1.3"), limit_conn=0, limit_status=503, retry_after=None, site_conf=None):
    """The text of an nginx configuration serving `folder` on the given loopback ports, or the server blocks of
    the file `site_conf`."""
    prefix = pathlib.Path(prefix)
    lines = [
        "daemon off;",
        "worker_processes 1;",
        "pid %s;" % quoted(prefix / "nginx.pid"),
        "error_log %s info;" % quoted(prefix / "error.log"),
    ]
    if os.geteuid() == 0:
        # Workers would otherwise run as an unprivileged user that cannot read a private temporary folder.
        lines.append("user root;")
    lines += [
        "events { worker_connections 64; }",
        "http {",
        # One line a request: the port it came to (80 plain, 443 TLS, ...), the status and the request line.
        "    log_format site '$server_port $status \"$request\"';",
        "    access_log %s site;" % quoted(prefix / "access.log"),
        "    log_format transfers '$msec $status $body_bytes_sent \"$http_range\" \"$request\"';",
        "    access_log %s transfers;" % quoted(prefix / "transfers.log"),
    ]
    for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"):
        lines.append("    %s_temp_path %s;" % (kind, quoted(prefix / "temp" / kind)))
    lines += [
        "    default_type application/octet-stream;",
        "    sendfile on;",
        "    server_tokens off;",
        "    keepalive_timeout 15s;",
        "    send_timeout 30s;",
    ]
    if rate:
        lines.append("    limit_rate %d;" % rate)
    if limit_conn:
        lines += [
            "    limit_conn_zone $binary_remote_addr zone=per_client:1m;",
            "    limit_conn per_client %d;" % limit_conn,
            "    limit_conn_status %d;" % limit_status,
        ]
        if retry_after is not None:
            # An empty value adds no header: only the refusals carry it.
            lines += [
                "    map $status $refusal_retry_after { %d %d; default \"\"; }" % (limit_status, retry_after),
                "    add_header Retry-After $refusal_retry_after always;",
            ]
    if site_conf:
        lines += ["    include %s;" % quoted(site_conf), "}"]
        return "\n".join(lines) + "\n"
    if http_port:
        lines += [
            "    server {",
            "        listen 127.0.0.1:%d;" % http_port,
            "        root %s;" % quoted(folder),
            "    }",
        ]
    if https_port:
        http_authority = "127.0.0.1" if http_port in (None, 80) else "127.0.0.1:%d" % http_port
        lines += [
            "    server {",
            "        listen 127.0.0.1:%d ssl;" % https_port,
            "        ssl_certificate %s;" % quoted(cert),
            "        ssl_certificate_key %s;" % quoted(key),
            "        ssl_protocols %s;" % " ".join(tls),
            "        root %s;" % quoted(folder),
        ]
        if set(tls) & {"TLSv1", "TLSv1.1"}:
            # OpenSSL 3 offers the retired versions only at security level 0.
            lines.append("        ssl_ciphers DEFAULT@SECLEVEL=0;")
        for path in redirects:
            if not path.startswith("/") or UNSAFE_PATH_CHARACTERS & set(path) or " " in path:
                raise SystemExit("nginx_site.py: a redirect path is /PATH without spaces or quotes: %r" % path)
            lines.append("        location = %s { return 302 http://%s%s; }" % (path, http_authority, path))
        lines.append("    }")
    lines.append("}")
    return "\n".join(lines) + "\n"


def accepting(port):
    with socket.socket() as probe:
        probe.settimeout(0.5)
        return probe.connect_ex(("127.0.0.1", port)) == 0


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def die_with_parent():
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0],
                                     epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", nargs="?")
    parser.add_argument("--site-conf", metavar="FILE", help="serve the server blocks of FILE")
    parser.add_argument("--prefix", required=True, help="private folder for the configuration, pid and logs")
    parser.add_argument("--http", type=int, metavar="PORT")
    parser.add_argument("--https", type=int, metavar="PORT")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--redirect-to-http", action="append", default=[], metavar="PATH")
    parser.add_argument("--tls", action="append", choices=TLS_VERSIONS, metavar="VERSION",
                        help="a TLS version the HTTPS server speaks (repeat for more; default TLSv1.2 and TLSv1.3)")
    parser.add_argument("--rate", type=int, default=0, help="bytes a second for each response (0: no limit)")
    parser.add_argument("--limit-conn", type=int, default=0, metavar="N",
                        help="requests of one client served at once (0: no limit)")
    parser.add_argument("--limit-status", type=int, default=503, choices=(429, 503), metavar="CODE",
                        help="the status of a refused request (503 or 429)")
    parser.add_argument("--retry-after", type=int, metavar="S", help="refusals say Retry-After: S")
    parser.add_argument("--lifeline", type=int, metavar="PORT")
    parser.add_argument("--lifetime", type=float, default=600.0, help="stop after this many seconds")
    parser.add_argument("--ready-file")
    args = parser.parse_args()
    lifeline = None
    if args.lifeline:
        lifeline = socket.create_connection(("127.0.0.1", args.lifeline), timeout=10)
    try:
        return serve(args, lifeline)
    except SystemExit as stop:
        if lifeline is not None and isinstance(stop.code, str):
            lifeline.sendall(("FAILED " + stop.code).replace("\n", " ").encode("utf-8", "replace") + b"\n")
        raise


def lifeline_closed(lifeline, wait):
    """Whether the harness closed the lifeline, waiting up to `wait` seconds for it to say anything."""
    readable, _, _ = select.select([lifeline], [], [], wait)
    return bool(readable) and not lifeline.recv(256)


def serve(args, lifeline):
    if (args.folder is None) == (args.site_conf is None):
        raise SystemExit("nginx_site.py: give a FOLDER or --site-conf FILE")
    if args.folder is not None and not pathlib.Path(args.folder).is_dir():
        raise SystemExit("nginx_site.py: no such folder: " + args.folder)
    if args.site_conf is not None and not pathlib.Path(args.site_conf).is_file():
        raise SystemExit("nginx_site.py: no such file: " + args.site_conf)
    if args.http is None and not args.https:
        raise SystemExit("nginx_site.py: give --http PORT, --https PORT or both")
    if args.http == 0:
        args.http = free_port()
    if args.https and not args.site_conf and not (args.cert and args.key):
        raise SystemExit("nginx_site.py: --https needs --cert and --key")

    ports = [p for p in (args.http, args.https) if p]
    for port in ports:
        taken = taken_message(port, "the update site")
        if taken is None and accepting(port):
            taken = "127.0.0.1 port %d is already in use" % port
        if taken:
            raise SystemExit("nginx_site.py: " + taken)

    prefix = pathlib.Path(args.prefix).resolve()
    for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"):
        (prefix / "temp" / kind).mkdir(parents=True, exist_ok=True)
    conf = prefix / "nginx.conf"
    conf.write_text(configuration(args.folder, prefix, args.http, args.https, args.cert, args.key,
                                  args.redirect_to_http, args.rate, args.tls or ("TLSv1.2", "TLSv1.3"),
                                  args.limit_conn, args.limit_status, args.retry_after, args.site_conf))

    stopping = []

    def request_stop(signum, _frame):
        stopping.append(signum)

    signal.signal(signal.SIGTERM, request_stop)
    signal.signal(signal.SIGINT, request_stop)
    # -e: nginx opens its error log before it reads the configuration; it must not touch the system's one.
    nginx = subprocess.Popen(["nginx", "-c", str(conf), "-p", str(prefix), "-e", str(prefix / "error.log")],
                             stdin=subprocess.DEVNULL, preexec_fn=die_with_parent)
    started = time.monotonic()
    ready = False
    try:
        while not stopping and nginx.poll() is None and time.monotonic() - started < args.lifetime:
            if not ready:
                if all(accepting(p) for p in ports):
                    ready = True
                    if args.ready_file:
                        temporary = args.ready_file + ".tmp"
                        pathlib.Path(temporary).write_text("%d\n" % nginx.pid)
                        os.replace(temporary, args.ready_file)
                    if lifeline is not None:
                        lifeline.sendall(b"READY %d\n" % (args.http or 0))
                    print("nginx serves %s on 127.0.0.1 port(s) %s" % (args.folder or args.site_conf, ports),
                          flush=True)
                elif time.monotonic() - started > START_TIMEOUT_S:
                    raise SystemExit("nginx_site.py: nginx did not listen on %s within %.0f s (see %s)"
                                     % (ports, START_TIMEOUT_S, prefix / "error.log"))
            if ready and lifeline is not None:
                if lifeline_closed(lifeline, 0.1):
                    break
            else:
                time.sleep(0.1)
        died = nginx.poll()
    finally:
        if nginx.poll() is None:
            nginx.terminate()
            try:
                nginx.wait(timeout=STOP_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                nginx.kill()
                nginx.wait()
    if died is not None:
        raise SystemExit("nginx_site.py: nginx stopped by itself with status %s (see %s)"
                         % (died, prefix / "error.log"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
