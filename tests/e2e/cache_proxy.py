#!/usr/bin/env python3
"""The launcher behind a caching reverse proxy: nginx on 127.0.0.1:80 (the launcher's compiled-in update address)
caches what it fetches from an origin update site (bench/bench_site.py, which logs every request it answers).
Clients holding nothing but the launcher update from it in turn, each with the real VornLauncher.exe under the
running Wine session:
  first    fills the proxy's cache;
  second   a full update while the cache is warm: the requests that reach the origin should be the manifest's only;
  third    after a new release was published at the origin with one file changed, while the proxy still holds the
           old copy of that file: the launcher must catch the stale copy by its CRC and fetch it fresh;
  fourth   holding the third's files and an older copy of a large archive whose new version has two regions
           changed and is already in the proxy's cache: the launcher fetches the archive's block index and the
           changed blocks as ranges, which the proxy answers from its cache (206) without asking the origin.

Proxy modes: "honour" (the default) passes a request carrying Cache-Control: no-cache or Pragma: no-cache through
to the origin and stores the fresh answer, as content delivery networks do; "plain" is nginx's own behaviour,
which serves such a request from its cache all the same.

Usage (inside a Wine session: DISPLAY and WINEPREFIX set, and port 80 free, e.g. in a network namespace of one's
own):
  cache_proxy.py --bin BUILD/bin [--mode honour|plain] [--record] [--failures DIR]
Prints the origin's requests per client. It fails when an update fails or leaves a file other than the site's, and
in the honour mode when the third client keeps the stale copy; without --record also unless the second client
reached the origin for the manifest alone and the third for the manifest and the changed file alone."""
import argparse
import json
import os
import pathlib
import random
import shutil
import subprocess
import sys
import time
import traceback
import urllib.request

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(HERE))
import run_e2e  # noqa: E402
import sample_client  # noqa: E402

PROXY_PORT = 80
MANIFEST = "/updates/up.ini"
CHANGED_FILE = "Data/Config/client.ini"
ARCHIVE = "Data/Music/archive.bin"
ARCHIVE_BYTES = 4 << 20
NEW_RELEASE = b"[Client]\nVersion=2.62.82\nPatch=13.9\n"

NGINX_CONFIG = """\
worker_processes 1;
pid {root}/nginx.pid;
{user}
events {{ worker_connections 256; }}
http {{
  log_format cache '$request $status $upstream_cache_status cc="$http_cache_control" pragma="$http_pragma"';
  access_log {root}/proxy.log cache;
  client_body_temp_path {root}/temp/body;
  proxy_temp_path {root}/temp/proxy;
  fastcgi_temp_path {root}/temp/fastcgi;
  uwsgi_temp_path {root}/temp/uwsgi;
  scgi_temp_path {root}/temp/scgi;
  proxy_cache_path {root}/cache levels=1:2 keys_zone=updates:4m max_size=256m inactive=1h use_temp_path=off;
  map $http_cache_control $asks_no_cache {{
    ~*no-cache 1;
    default "";
  }}
  map $http_pragma $asks_pragma_no_cache {{
    ~*no-cache 1;
    default "";
  }}
  server {{
    listen 127.0.0.1:{port};
    location / {{
      proxy_pass http://127.0.0.1:{origin};
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_cache updates;
      proxy_cache_valid 200 1h;
      {bypass}
    }}
  }}
}}
"""
BYPASS = "proxy_cache_bypass $asks_no_cache $asks_pragma_no_cache;"


def write_nginx_config(folder, origin_port, honour_no_cache):
    """nginx.conf for a caching proxy on PROXY_PORT whose every file (temporary files, cache, logs) lies under
    `folder`."""
    for name in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
        (folder / "temp" / name).mkdir(parents=True, exist_ok=True)
    (folder / "cache").mkdir(exist_ok=True)
    # Run as root, nginx hands its workers to "nobody", who could not write below a private temporary folder.
    user = "user root root;" if os.geteuid() == 0 else ""
    config = folder / "nginx.conf"
    config.write_text(NGINX_CONFIG.format(root=folder, user=user, port=PROXY_PORT, origin=origin_port,
                                          bypass=BYPASS if honour_no_cache else ""))
    return config


def origin_requests(log, start):
    """The answers the origin logged from line `start` on."""
    lines = log.read_text(encoding="utf-8").splitlines() if log.exists() else []
    return [json.loads(line) for line in lines[start:]]


class ProxyJourney(run_e2e.Journey):
    def start_origin(self):
        port_file = self.root / "origin.port"
        command = [sys.executable, str(REPO / "bench" / "bench_site.py"), str(self.root / "site"), "--port-file",
                   str(port_file), "--lifetime", "600", "--log", str(self.root / "site.log")]
        self.processes.append(subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                               stderr=open(self.root / "origin.err", "wb")))
        self.me.wait("the origin site", lambda: port_file.exists() or self.processes[-1].poll() is not None, 30)
        run_e2e.check(port_file.exists(), "the origin site did not start")
        return int(port_file.read_text())

    def start_proxy(self, origin_port, honour_no_cache):
        run_e2e.require_free_port(PROXY_PORT, "the caching proxy")
        folder = self.root / "proxy"
        folder.mkdir()
        config = write_nginx_config(folder, origin_port, honour_no_cache)
        command = ["nginx", "-p", str(folder), "-e", str(folder / "error.log"), "-c", str(config), "-g",
                   "daemon off;"]
        self.processes.append(subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                               stderr=open(self.root / "proxy.err", "wb")))
        self.me.wait("the caching proxy", lambda: run_e2e.port_in_use(PROXY_PORT) or self.processes[-1].poll()
                     is not None, 30)
        run_e2e.check(run_e2e.port_in_use(PROXY_PORT),
                      "nginx did not start: " + (self.root / "proxy.err").read_text(errors="replace"))

    def update_client(self, name, holding=None):
        """A client folder holding only the launcher (and the files of the folder `holding`), updated by it; the
        origin's answers meanwhile."""
        self.client = self.root / "clients" / name
        if holding:
            shutil.copytree(holding, self.client)
        else:
            self.client.mkdir(parents=True)
        shutil.copyfile(self.bin_dir / "VornLauncher.exe", self.client / "VornLauncher.exe")
        log = self.root / "site.log"
        start = len(origin_requests(log, 0))
        window = self.start_launcher()
        window = self.wait_update_end(window, timeout=120)
        succeeded = not self.me.child(window, run_e2e.player.UPDATE_LABEL_ID)["visible"]
        self.end_launchers()
        run_e2e.check(succeeded, "the %s client's update failed" % name)
        run_e2e.check(run_e2e.staging_dirs(self.client) == [], "a staging directory remains in the %s client" % name)
        return origin_requests(log, start)


def end_of_line_with(log, start, text):
    """The number of lines up to and including the first line from `start` on that holds `text`; None if none
    does yet."""
    lines = log.read_text(encoding="utf-8").splitlines()
    return next((number + 1 for number in range(start, len(lines)) if text in lines[number]), None)


def describe(requests):
    return ", ".join("%s %s%s" % (r["method"], r["path"], " [no-cache]" if r["cache_control"] else "")
                     for r in requests) or "none"


def play(j, honour_no_cache, record):
    j.make_client()
    site = j.site
    origin_port = j.start_origin()
    j.start_proxy(origin_port, honour_no_cache)
    # The client files: the site's files but the manifest and its block indexes (up.ini.blocks/).
    published = {str(p.relative_to(site)): p.read_bytes() for p in site.rglob("*") if p.is_file() and
                 p.name != "up.ini" and p.relative_to(site).parts[0] != "up.ini.blocks"}

    figures = {}
    for name in ("first", "second"):
        requests = j.update_client(name)
        figures[name] = requests
        for relative, content in published.items():
            run_e2e.check((j.client / relative).read_bytes() == content, "%s: %s differs from the site's" % (
                name, relative))
        print("     %s client: %d requests reached the origin: %s" % (name, len(requests), describe(requests)))

    (site / CHANGED_FILE).write_bytes(NEW_RELEASE)
    subprocess.run([sys.executable, str(REPO / "tools" / "make_manifest.py"), str(site)], check=True,
                   stdout=subprocess.DEVNULL)
    requests = j.update_client("third")
    figures["third"] = requests
    fresh = (j.client / CHANGED_FILE).read_bytes() == NEW_RELEASE
    print("     third client (one file changed at the origin, the old copy cached): %d requests reached the origin: "
          "%s; the changed file is %s" % (len(requests), describe(requests), "fresh" if fresh else "STALE"))
    # nginx's own behaviour hands out the cached manifest too, so there the third client cannot see the release.
    if honour_no_cache:
        run_e2e.check(fresh, "the third client got the stale copy of " + CHANGED_FILE)
    third_client = j.client

    # A large archive the fourth client holds in its older version; the new one is in the proxy's cache.
    older = random.Random(24).randbytes(ARCHIVE_BYTES)
    newer = bytearray(older)
    for at in (ARCHIVE_BYTES // 4, ARCHIVE_BYTES * 3 // 4):
        newer[at:at + 65536] = random.Random(at).randbytes(65536)
    (site / ARCHIVE).parent.mkdir(parents=True, exist_ok=True)
    (site / ARCHIVE).write_bytes(bytes(newer))
    subprocess.run([sys.executable, str(REPO / "tools" / "make_manifest.py"), str(site)], check=True,
                   stdout=subprocess.DEVNULL)
    proxy_log = j.root / "proxy" / "proxy.log"
    warm_start = len(proxy_log.read_text(encoding="utf-8").splitlines())
    with urllib.request.urlopen("http://127.0.0.1:%d/updates/%s" % (PROXY_PORT, ARCHIVE), timeout=30) as warm:
        run_e2e.check(warm.read() == bytes(newer), "the proxy did not pass the archive on")
    # nginx logs a request after its last byte went out, so the client may have read it all before the line is
    # written; the fourth client's answers are counted from behind that line.
    proxy_start = j.me.wait("the proxy's log of the archive it cached",
                            lambda: end_of_line_with(proxy_log, warm_start, ARCHIVE), 10)
    (third_client / ARCHIVE).parent.mkdir(parents=True, exist_ok=True)
    (third_client / ARCHIVE).write_bytes(older)
    requests = j.update_client("fourth", holding=third_client)
    run_e2e.check((j.client / ARCHIVE).read_bytes() == bytes(newer), "fourth: the archive differs from the site's")
    archive_answers = [line for line in proxy_log.read_text(encoding="utf-8").splitlines()[proxy_start:]
                       if ARCHIVE in line]
    print("     fourth client (an older archive held, the new one cached): %d requests reached the origin: %s; the "
          "proxy answered the archive: %s" % (len(requests), describe(requests), "; ".join(archive_answers)))
    run_e2e.check(all(r["path"] != "/updates/" + ARCHIVE for r in requests), "the origin was asked for the archive")
    run_e2e.check(archive_answers and all(" 206 HIT " in line for line in archive_answers),
                  "the proxy did not answer the archive's ranges from its cache: %s" % archive_answers)
    if record:
        return
    second = sorted(r["path"] for r in figures["second"])
    run_e2e.check(second == [MANIFEST], "the second client reached the origin for %s" % second)
    third = sorted(r["path"] for r in figures["third"])
    run_e2e.check(third == sorted([MANIFEST, "/updates/" + CHANGED_FILE]),
                  "the third client reached the origin for %s" % third)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, type=pathlib.Path)
    parser.add_argument("--mode", choices=("honour", "plain"), default="honour")
    parser.add_argument("--record", action="store_true", help="print the figures without asserting the goal")
    parser.add_argument("--failures", type=pathlib.Path, default=pathlib.Path("e2e-failures").resolve())
    args = parser.parse_args()
    for variable in ("DISPLAY", "WINEPREFIX"):
        if not os.environ.get(variable):
            sys.exit("cache_proxy.py: %s is not set; run inside a Wine session" % variable)
    if shutil.which("nginx") is None:
        sys.exit("cache_proxy.py: nginx is not installed (scripts/setup.sh installs it)")
    name = "cache_proxy_" + args.mode
    journey = ProxyJourney(args.bin.resolve(), args.failures, name)
    started = time.monotonic()
    try:
        play(journey, args.mode == "honour", args.record)
        print("PASS %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
        return 0
    except Exception:
        print("FAIL %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
        traceback.print_exc(file=sys.stdout)
        folder = journey.keep_evidence()
        for log in ("proxy/proxy.log", "proxy/error.log", "proxy.err", "origin.err"):
            if (journey.root / log).exists():
                shutil.copyfile(journey.root / log, folder / pathlib.Path(log).name)
        print("     screenshot and logs: %s" % folder, flush=True)
        return 1
    finally:
        journey.stop()


if __name__ == "__main__":
    sys.exit(main())
