#!/usr/bin/env python3
"""End-to-end journeys of the launcher, played from outside: the real VornLauncher.exe under the running Wine
session, the reference directory/authorisation service on 127.0.0.1:33556, nginx serving the update site on
http://127.0.0.1/updates/ (port 80, the compiled-in address) and the stand-in game as Main.exe. The HTTPS
journeys use a second build of the launcher whose address is https://127.0.0.1/updates/ (port 443), a
throwaway certificate authority made for the run and trusted inside the run's Wine prefix only, and a second
authority that nobody trusts. tools/update_site.py plays the faults nginx cannot (a trickling download).
The player's hands are the X mouse and keyboard (xdotool); the eyes are the window probe, the client folder,
the registry, the web server's log and the stand-in game's record. Each journey gets a fresh client folder; a
failing journey leaves its screenshot and the servers' logs in the failure folder the output names. The
signed-update journeys play a launcher built with a compiled-in update key (--key-launcher) against a site
signed with its private key (--signing-key). The journey without a directory service plays a launcher built with
the quick check off (--full-check-launcher); every other one has it on, as players do.

Usage (inside a Wine session: DISPLAY and WINEPREFIX set, e.g. by scripts/test.sh through ctest -R e2e):
  run_e2e.py --bin BUILD/bin [--https-bin DIR] [--key-launcher EXE --signing-key PEM]
             [--full-check-launcher EXE] [--failures DIR] [JOURNEY ...]
--https-bin holds the HTTPS build of VornLauncher.exe (default: BUILD/bin/https)."""
import argparse
import os
import pathlib
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import traceback

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(HERE))
import player  # noqa: E402
import sample_client  # noqa: E402

sys.path.insert(0, str(REPO / "tools"))
import test_certificates  # noqa: E402
from port_holder import taken_message  # noqa: E402

DIRECTORY_PORT = 33556
SITE_PORT = 80
HTTPS_PORT = 443
MANIFEST = "/updates/up.ini"
CONNECT_PORT = 55960
DYNAMIC_CODE = "E2E-DYNAMIC-0016"
REGION_NAMES = ["岚谷一区", "青云二区", "天穹三区"]
LAUNCHER_KEY = r"HKCU\Software\VornLauncher"
GAME_KEY = r"HKCU\Software\Quillon\Tessary\Config"


def port_in_use(port):
    with socket.socket() as probe:
        probe.settimeout(1)
        return probe.connect_ex(("127.0.0.1", port)) == 0


def require_free_port(port, what):
    """The launcher's addresses are compiled in, so the journey needs these very ports; another program may hold
    one for a moment (a test of its own), so wait a little before giving up."""
    deadline = time.monotonic() + 60
    while port_in_use(port):
        if time.monotonic() > deadline:
            raise AssertionError(taken_message(port, what) or "127.0.0.1:%d (%s) is taken" % (port, what))
        time.sleep(1)


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def reg_query(key):
    result = subprocess.run(["wine", "reg", "query", key], stdin=subprocess.DEVNULL, capture_output=True,
                            timeout=60)
    return result.stdout.decode("utf-8", "replace") if result.returncode == 0 else None


def reg_delete(key):
    subprocess.run(["wine", "reg", "delete", key, "/f"], stdin=subprocess.DEVNULL, capture_output=True, timeout=60)


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def snapshot(folder):
    """Every file under `folder` with its content, to see what a step wrote."""
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def changes(before, after):
    return sorted(name for name in set(before) | set(after) if before.get(name) != after.get(name))


# The launcher's record of the client files it found current (the quick check).
VERIFIED_RECORD = ".vorn-verified"


def staging_dirs(client):
    return [p.name for p in client.iterdir() if p.name.startswith(".vorn-update-")]


class Journey:
    """One run of the launcher against its own client folder and servers; stops everything it started."""

    def __init__(self, bin_dir, failures, name, https_bin=None, certificates=None, key_launcher=None,
                 signing_key=None, full_check_launcher=None):
        self.bin_dir = bin_dir
        self.full_check_launcher = full_check_launcher
        self.https_bin = https_bin
        self.certificates = certificates
        self.key_launcher = key_launcher
        self.signing_key = signing_key
        self.name = name
        self.failures = failures
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="vorn-e2e-"))
        self.me = player.Player(str(bin_dir / "window_probe.exe"))
        self.processes = []
        self.lifeline = None
        self.launcher = None
        self.client = None
        self.site = None

    def make_client(self, https=False, **options):
        """A sample client; with https=True its launcher is the build that updates from https://127.0.0.1/."""
        if https:
            options["launcher"] = self.https_bin / "VornLauncher.exe"
        self.client, self.site = sample_client.make(self.root, self.bin_dir, **options)

    def sign_site(self, release, *options):
        subprocess.run([sys.executable, str(REPO / "tools" / "sign_release.py"), "sign", str(self.site), "--key",
                        str(self.signing_key), "--release", str(release), "--force", *map(str, options)],
                       check=True, stdout=subprocess.DEVNULL)

    def start_service(self, *options):
        require_free_port(DIRECTORY_PORT, "the directory service")
        listener = socket.create_server(("127.0.0.1", 0))
        listener.settimeout(20)
        command = [sys.executable, str(REPO / "tools" / "vorn_service.py"), "--regions", str(self.root / "regions.tsv"),
                   "--auth-port", "0", "--auth-port", "0", "--log", str(self.root / "service.log"),
                   "--lifeline", str(listener.getsockname()[1])] + list(options)
        self.processes.append(subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                               stderr=open(self.root / "service.err", "wb")))
        try:
            self.lifeline, _ = listener.accept()
        finally:
            listener.close()
        self.lifeline.settimeout(20)
        ready = self.lifeline.recv(200).decode("ascii", "replace")
        check(ready.startswith("READY"), "the reference service did not start: " + ready)
        return [int(p) for p in ready.split()[2:]]

    def start_site(self, http=True, certificate=None, redirects=(), tls=(), rate=0):
        """nginx serving the site: over HTTP on port 80 and, given a certificate file name of the run's
        certificates (server.pem, ...), over HTTPS on port 443, where `redirects` send paths to plain HTTP and
        `tls` names the TLS versions spoken (nginx_site.py's default when empty); `rate` bytes a second for each
        response when given."""
        ports = ([SITE_PORT] if http else []) + ([HTTPS_PORT] if certificate else [])
        for port in ports:
            require_free_port(port, "the update site")
        ready = self.root / "nginx.ready"
        command = [sys.executable, str(REPO / "tools" / "nginx_site.py"), str(self.root / "site"), "--prefix",
                   str(self.root / "nginx"), "--lifetime", "300", "--ready-file", str(ready)]
        if http:
            command += ["--http", str(SITE_PORT)]
        if certificate:
            command += ["--https", str(HTTPS_PORT), "--cert", str(self.certificates / certificate),
                        "--key", str(self.certificates / "server.key")]
        for path in redirects:
            command += ["--redirect-to-http", path]
        for version in tls:
            command += ["--tls", version]
        if rate:
            command += ["--rate", str(rate)]
        self.run_site(command, ready, "nginx did not start (are ports %s free?)" % ports)

    def run_site(self, command, ready, failure):
        """Starts a site server that writes the file `ready` once it listens, and waits for that."""
        self.processes.append(subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                               stderr=open(self.root / "site.log", "wb")))
        self.me.wait("the update site", lambda: ready.exists() or self.processes[-1].poll() is not None, 20)
        check(ready.exists(), failure)

    def site_requests(self):
        """What nginx was asked so far: (port, status, request line) for each request."""
        log = self.root / "nginx" / "access.log"
        if not log.exists():
            return []
        requests = []
        for line in log.read_text(encoding="utf-8", errors="replace").splitlines():
            port, status, request = line.split(" ", 2)
            requests.append((int(port), int(status), request.strip('"')))
        return requests

    def start_faulty_site(self, *faults):
        """tools/update_site.py on port 80, for the faults nginx does not play (PATH=MODE, e.g. =slow)."""
        require_free_port(SITE_PORT, "the update site")
        port_file = self.root / "site.port"
        command = [sys.executable, str(REPO / "tools" / "update_site.py"), str(self.root / "site"), "--port",
                   str(SITE_PORT), "--port-file", str(port_file), "--lifetime", "300", "--verbose"]
        for fault in faults:
            command += ["--fault", fault]
        self.run_site(command, port_file, "the update site did not start (is port %d free?)" % SITE_PORT)

    def start_launcher(self):
        self.launcher = subprocess.Popen(["wine", str(self.client / "VornLauncher.exe")], stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self.me.wait_launcher(60)

    def window(self, window):
        current = self.me.refresh(window)
        check(current is not None, "the launcher window is gone")
        return current

    def wait_regions(self, window, names):
        def listed():
            current = self.me.refresh(window)
            return current if current and self.me.region_texts(current)[:len(names)] == names else None
        return self.me.wait("the region names %s on the buttons" % names, listed, 30)

    def wait_update_end(self, window, timeout=60):
        return self.me.wait_update_end(window, timeout)

    def why_update_failed(self, window):
        """The player clicks the failed update's label; the message box says why. Returns its text."""
        self.me.click(window, player.UPDATE_LABEL)
        dialog = self.me.wait_dialog("更新失败")
        text = self.me.dialog_text(dialog)
        self.answer_with_return(dialog)
        print("     the launcher says: %r" % text)
        return text

    def answer_with_return(self, dialog):
        """Enter on the message box; it must go away."""
        self.me.press_return(dialog)
        self.me.wait("the message box \"%s\" to close after Enter" % dialog["text"],
                     lambda: all(d["hwnd"] != dialog["hwnd"] for d in self.me.dialogs()), 10)

    def keep_evidence(self):
        folder = self.failures / self.name
        folder.mkdir(parents=True, exist_ok=True)
        self.me.screenshot(str(folder / "screen.png"))
        for log in ("service.log", "service.err", "site.log", "nginx/access.log", "nginx/error.log"):
            if (self.root / log).exists():
                shutil.copyfile(self.root / log, folder / log.replace("/", "-"))
        return folder

    def end_launchers(self):
        if self.launcher is not None and self.launcher.poll() is None:
            self.launcher.kill()
            self.launcher.wait()
        # A launcher started by another launcher (the self-update) is no child of this script.
        for window in self.me.launchers():
            subprocess.run(["wine", str(self.bin_dir / "window_probe.exe"), "kill", str(window["pid"])],
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=30)

    def stop(self):
        self.end_launchers()
        if self.lifeline is not None:
            self.lifeline.close()
        for process in self.processes:
            if process.poll() is None:
                process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        shutil.rmtree(self.root, ignore_errors=True)


def full_journey(j):
    j.make_client()
    auth_ports = j.start_service("--captcha", DYNAMIC_CODE)
    j.start_site()
    for key in (LAUNCHER_KEY, GAME_KEY):
        reg_delete(key)
    window = j.start_launcher()
    window = j.wait_regions(window, REGION_NAMES)
    window = j.wait_update_end(window)
    check(not j.me.child(window, player.UPDATE_LABEL_ID)["visible"], "the update did not succeed")
    for relative, (_, new) in sample_client.DATA_FILES.items():
        check((j.client / relative).read_bytes() == new, relative + " was not brought up to date")
    check(staging_dirs(j.client) == [], "a staging directory remains: %s" % staging_dirs(j.client))
    check((j.client / VERIFIED_RECORD).is_file(), "the launcher kept no record of the files it verified")
    check(not j.me.child(window, player.ENTER_GAME_ID)["enabled"], "enter-game is enabled before a region is chosen")

    j.me.click(window, player.region_button(1))
    window = j.me.wait("the enter-game button to be enabled after the region click",
                       lambda: (lambda w: w if w and j.me.child(w, player.ENTER_GAME_ID)["enabled"] else None)(
                           j.me.refresh(window)), 10)
    j.me.click(window, player.ENTER_GAME_BUTTON)
    record_path = j.client / "game_record.txt"
    j.me.wait("the stand-in game's record", record_path.exists, 30)
    record = dict(line.split("=", 1) for line in record_path.read_text(encoding="utf-8").splitlines())
    check(record.get("command_line", "").endswith("Updater /u127.0.0.1 /p%d" % CONNECT_PORT),
          "game command line: %r" % record.get("command_line"))
    check("Main.exe" in record.get("command_line", ""), "the game was not started as Main.exe")
    check(record.get("working_directory", "").rstrip("\\").lower() == windows_path(j.client).lower(),
          "game working directory: %r" % record.get("working_directory"))
    check(record.get("VORN_SERVER_HOST") == "127.0.0.1", "VORN_SERVER_HOST: %r" % record.get("VORN_SERVER_HOST"))
    check(record.get("VORN_SERVER_PORT") == str(CONNECT_PORT), "VORN_SERVER_PORT: %r" % record.get("VORN_SERVER_PORT"))
    # The region's service handed out a code of its own, so the game gets that one.
    check(record.get("VORN_CLIENT_SERIAL") == DYNAMIC_CODE, "VORN_CLIENT_SERIAL: %r" % record.get("VORN_CLIENT_SERIAL"))
    connect = j.client / "Data" / "Local" / "Connect.msil"
    check(connect.is_file() and connect.stat().st_size > 0, "Data\\Local\\Connect.msil was not written")
    log = (j.root / "service.log").read_text(encoding="utf-8", errors="replace")
    check("AUTH" in log and str(auth_ports[1]) in log, "the second region's service was not asked: " + log)

    launcher_key = reg_query(LAUNCHER_KEY) or ""
    game_key = reg_query(GAME_KEY) or ""
    for value in ("ResolutionIndex", "Windowed"):
        check(value in launcher_key, "%s has no %s: %r" % (LAUNCHER_KEY, value, launcher_key))
    for value in ("Resolution", "WindowMode"):
        check(value in game_key, "%s has no %s: %r" % (GAME_KEY, value, game_key))
    j.me.wait("the launcher to minimise", lambda: (lambda w: w and w["iconic"])(j.me.refresh(window)), 10)


def directory_down(j):
    # Played by the launcher built with the quick check off: it updates all the same and keeps no record.
    check(j.full_check_launcher is not None, "no launcher with the quick check off (--full-check-launcher)")
    j.make_client(launcher=j.full_check_launcher)
    require_free_port(DIRECTORY_PORT, "the directory service, which must be down")
    j.start_site()
    window = j.start_launcher()
    window = j.wait_update_end(window)
    check(not j.me.child(window, player.UPDATE_LABEL_ID)["visible"], "the update did not succeed")
    for relative, (_, new) in sample_client.DATA_FILES.items():
        check((j.client / relative).read_bytes() == new, relative + " was not brought up to date")
    check(not (j.client / VERIFIED_RECORD).exists(), "a record of verified files was kept with the quick check off")
    check(not any(j.me.region_texts(window)), "region names without a directory: %s" % j.me.region_texts(window))
    j.me.click(window, player.region_button(0))
    time.sleep(1.0)
    window = j.window(window)
    check(not j.me.child(window, player.ENTER_GAME_ID)["enabled"], "enter-game is enabled without regions")
    check(not (j.client / "Data" / "Local").exists(), "the client folder got Data\\Local without a launch")
    check(not (j.client / "game_record.txt").exists(), "the game was started")


def manifest_missing(j):
    j.make_client()
    (j.site / "up.ini").unlink()
    j.start_service()
    j.start_site()
    before = snapshot(j.client)
    window = j.start_launcher()
    window = j.wait_regions(window, REGION_NAMES)
    window = j.wait_update_end(window)
    label = j.me.child(window, player.UPDATE_LABEL_ID)
    check(label["visible"] and label["text"].startswith("更新失败"), "update label: %r" % label["text"])
    check(not changes(before, snapshot(j.client)),
          "files changed although the update failed: %s" % changes(before, snapshot(j.client)))
    check(staging_dirs(j.client) == [], "a staging directory remains: %s" % staging_dirs(j.client))
    # The player retries by clicking the label; now the failure comes as a message box.
    check("404" in j.why_update_failed(window), "the message does not give the status")
    check(staging_dirs(j.client) == [], "a staging directory remains after the retry")


def auth_refused(j):
    j.make_client()
    j.start_service("--refuse", "BLOCKED")
    j.start_site()
    window = j.start_launcher()
    window = j.wait_regions(window, REGION_NAMES)
    window = j.wait_update_end(window)
    before = snapshot(j.client)
    j.me.click(window, player.region_button(0))
    time.sleep(0.5)
    j.me.click(j.window(window), player.ENTER_GAME_BUTTON)
    dialog = j.me.wait_dialog("无法启动游戏")
    text = j.me.dialog_text(dialog)
    check("账号或硬件标识已被封禁" in text, "refusal message: %r" % text)
    j.answer_with_return(dialog)
    # The connection file is put in place before the region is asked; nothing else may appear.
    written = changes(before, snapshot(j.client))
    check(written in ([], [os.path.join("Data", "Local", "Connect.msil")]), "written on a refusal: %s" % written)
    check(not (j.client / "game_record.txt").exists(), "the game was started although the region refused")
    check(not j.window(window)["iconic"], "the launcher minimised although the game did not start")


def game_missing(j):
    j.make_client()
    (j.client / "Main.exe").unlink()
    (j.site / "Main.exe").unlink()
    subprocess.run([sys.executable, str(REPO / "tools" / "make_manifest.py"), str(j.site)], check=True,
                   stdout=subprocess.DEVNULL)
    j.start_service()
    j.start_site()
    window = j.start_launcher()
    window = j.wait_regions(window, REGION_NAMES)
    window = j.wait_update_end(window)
    j.me.click(window, player.region_button(2))
    time.sleep(0.5)
    j.me.click(j.window(window), player.ENTER_GAME_BUTTON)
    dialog = j.me.wait_dialog("无法启动游戏")
    text = j.me.dialog_text(dialog)
    check("找不到游戏主程序" in text and "Main.exe" in text, "missing-game message: %r" % text)
    j.answer_with_return(dialog)
    check(not (j.client / "Main.exe").exists(), "a Main.exe appeared")
    check(not j.window(window)["iconic"], "the launcher minimised although the game did not start")


def self_update(j):
    new_launcher = (j.bin_dir / "VornLauncher.exe").read_bytes() + b"\0vorn-e2e newer launcher\0"
    j.make_client(site_launcher=new_launcher)
    j.start_service()
    j.start_site()
    window = j.start_launcher()
    old_pid = window["pid"]
    dialog = j.me.wait_dialog("重新启动登录器", timeout=60)
    check((j.client / "VornLauncher.exe.new").exists(), "no VornLauncher.exe.new before the restart")
    j.answer_with_return(dialog)
    j.me.wait_launcher(60, pid=old_pid)
    j.me.wait("the new launcher in place", lambda: (j.client / "VornLauncher.exe").read_bytes() == new_launcher, 30)
    j.me.wait("VornLauncher.exe.new to go", lambda: not (j.client / "VornLauncher.exe.new").exists(), 30)
    window = j.me.wait_launcher(10, pid=old_pid)
    window = j.wait_update_end(window)
    check(not j.me.dialogs(), "the new launcher asks again: %s" % [d["text"] for d in j.me.dialogs()])
    check(staging_dirs(j.client) == [], "a staging directory remains: %s" % staging_dirs(j.client))


def close_during_download(j):
    j.make_client(big_file_kib=4096)
    j.start_service()
    j.start_faulty_site("/updates/" + sample_client.BIG_FILE + "=slow")
    window = j.start_launcher()
    j.me.wait("the slow download to begin", lambda: staging_dirs(j.client), 60)
    time.sleep(1.0)
    j.me.click(j.window(window), player.CLOSE_BUTTON)
    dialog = j.me.wait_dialog("确认退出")
    confirmed = time.monotonic()
    j.answer_with_return(dialog)
    # The window stays while the download stops, saying so on the label; it must not wait for the rest of the
    # file (about a minute at the site's pace).
    closing = j.me.refresh(window)
    check(closing is not None and closing["visible"], "the window went before the download stopped")
    j.me.wait("the launcher to exit", lambda: j.launcher.poll() is not None, 30)
    print("     the launcher exited %.1f s after the confirmation" % (time.monotonic() - confirmed))
    check(staging_dirs(j.client) == [], "a staging directory remains: %s" % staging_dirs(j.client))
    check(not (j.client / sample_client.BIG_FILE).exists(), "the half-downloaded file was installed")


def server_drips(j):
    # The real bounds: the site announces the file's length and then sends one byte every 20 s, never pausing
    # long enough for the 30 s stall limit; after a minute the average is below 1 KiB/s and the update gives up.
    j.make_client(big_file_kib=64)
    j.start_service()
    j.start_faulty_site("/updates/" + sample_client.BIG_FILE + "=drip")
    before = snapshot(j.client)
    window = j.start_launcher()
    j.me.wait("the dripping download to begin", lambda: staging_dirs(j.client), 60)
    began = time.monotonic()
    window = j.wait_update_end(window, timeout=120)
    print("     the update gave up %.1f s after the download began" % (time.monotonic() - began))
    label = j.me.child(window, player.UPDATE_LABEL_ID)
    check(label["visible"] and label["text"].startswith("更新失败"), "update label: %r" % label["text"])
    check(not changes(before, snapshot(j.client)), "files changed: %s" % changes(before, snapshot(j.client)))
    check(staging_dirs(j.client) == [], "a staging directory remains: %s" % staging_dirs(j.client))


def https_update(j):
    j.make_client(https=True)
    j.start_site(http=False, certificate="server.pem")
    window = j.start_launcher()
    window = j.wait_update_end(window)
    check(not j.me.child(window, player.UPDATE_LABEL_ID)["visible"], "the update over HTTPS did not succeed")
    for relative, (_, new) in sample_client.DATA_FILES.items():
        check((j.client / relative).read_bytes() == new, relative + " was not brought up to date")
    check(staging_dirs(j.client) == [], "a staging directory remains: %s" % staging_dirs(j.client))
    check((HTTPS_PORT, 200, "GET %s HTTP/1.1" % MANIFEST) in j.site_requests(),
          "nginx did not serve the manifest over HTTPS: %s" % j.site_requests())


def refused_update(j, certificate, tls=(), named="证书"):
    """The update against a site whose certificate or TLS version must be refused: it fails, says why (`named`)
    when the player asks, and nothing in the client changes."""
    j.make_client(https=True)
    j.start_site(http=False, certificate=certificate, tls=tls)
    before = snapshot(j.client)
    window = j.start_launcher()
    window = j.wait_update_end(window)
    label = j.me.child(window, player.UPDATE_LABEL_ID)
    check(label["visible"] and label["text"].startswith("更新失败"), "update label: %r" % label["text"])
    served = [r for r in j.site_requests() if r[1] == 200]
    check(not served, "nginx served files over a refused certificate: %s" % served)
    check(not changes(before, snapshot(j.client)),
          "files changed although the update failed: %s" % changes(before, snapshot(j.client)))
    check(staging_dirs(j.client) == [], "a staging directory remains: %s" % staging_dirs(j.client))
    text = j.why_update_failed(window)
    check(named in text, "the message does not name %s: %r" % (named, text))


def https_untrusted_authority(j):
    refused_update(j, "untrusted.pem")


def https_other_host(j):
    refused_update(j, "otherhost.pem")


def https_tls10_only(j):
    # TLS 1.0 is retired for its faults: a site that speaks nothing newer is refused like a bad certificate.
    refused_update(j, "server.pem", tls=("TLSv1",), named="TLS 1.2")


def https_redirect_to_http(j):
    j.make_client(https=True)
    j.start_site(certificate="server.pem", redirects=[MANIFEST])
    before = snapshot(j.client)
    window = j.start_launcher()
    window = j.wait_update_end(window)
    label = j.me.child(window, player.UPDATE_LABEL_ID)
    check(label["visible"] and label["text"].startswith("更新失败"), "update label: %r" % label["text"])
    requests = j.site_requests()
    check((HTTPS_PORT, 302, "GET %s HTTP/1.1" % MANIFEST) in requests,
          "the manifest was not asked for over HTTPS: %s" % requests)
    plain = [r for r in requests if r[0] == SITE_PORT]
    check(not plain, "the launcher followed the redirect to plain HTTP: %s" % plain)
    check(not changes(before, snapshot(j.client)),
          "files changed although the update failed: %s" % changes(before, snapshot(j.client)))
    text = j.why_update_failed(window)
    check("HTTPS" in text, "the message does not name the refused redirect: %r" % text)


def signed_client(j, release=None):
    """A client with the launcher that holds the update key, its site signed as `release` (None: unsigned)."""
    check(j.key_launcher is not None, "no launcher with an update key (--key-launcher)")
    j.make_client(launcher=j.key_launcher)
    if release is not None:
        j.sign_site(release)
    j.start_service()


def refused_with(j, reason):
    """The update ends refused with nothing in the client changed; the retry's message box gives the reason."""
    before = snapshot(j.client)
    window = j.start_launcher()
    window = j.wait_update_end(window)
    label = j.me.child(window, player.UPDATE_LABEL_ID)
    check(label["visible"] and label["text"].startswith("更新失败"), "update label: %r" % label["text"])
    check(not changes(before, snapshot(j.client)), "files changed: %s" % changes(before, snapshot(j.client)))
    check(staging_dirs(j.client) == [], "a staging directory remains: %s" % staging_dirs(j.client))
    j.me.click(window, player.UPDATE_LABEL)
    dialog = j.me.wait_dialog("更新失败")
    text = j.me.dialog_text(dialog)
    check(reason in text, "refusal message: %r" % text)
    j.answer_with_return(dialog)
    check(not changes(before, snapshot(j.client)), "files changed on the retry")


def signed_release(j):
    signed_client(j, release=3)
    j.start_site()
    window = j.wait_update_end(j.start_launcher())
    check(not j.me.child(window, player.UPDATE_LABEL_ID)["visible"], "the signed update did not succeed")
    for relative, (_, new) in sample_client.DATA_FILES.items():
        check((j.client / relative).read_bytes() == new, relative + " was not brought up to date")
    release = (j.client / ".vorn-release").read_bytes()
    check(release == b"3\n", "the installed release kept: %r" % release)


def signed_main_swapped(j):
    signed_client(j, release=3)
    swapped = bytearray((j.site / "Main.exe").read_bytes())
    swapped[64] ^= 0x01
    (j.site / "Main.exe").write_bytes(bytes(swapped))
    # The player's copy is older, so the signed manifest sends the launcher to the site for it.
    (j.client / "Main.exe").write_bytes(bytes(swapped[:-1]))
    j.start_site()
    refused_with(j, "文件与更新签名不符：Main.exe")


def signed_replay(j):
    signed_client(j, release=3)
    (j.client / ".vorn-release").write_bytes(b"4\n")
    j.start_site()
    refused_with(j, "更新的发布号 3 低于已安装的发布号 4")


def signed_expired(j):
    signed_client(j)
    j.sign_site(3, "--signed-at", 1000000000, "--valid-days", 1)
    j.start_site()
    refused_with(j, "更新签名已于 2001-09-10 过期")


def signed_site_missing(j):
    signed_client(j)
    j.start_site()
    refused_with(j, "更新站点缺少更新签名")


JOURNEYS = {
    "full_journey": full_journey,
    "directory_down": directory_down,
    "manifest_missing": manifest_missing,
    "auth_refused": auth_refused,
    "game_missing": game_missing,
    "self_update": self_update,
    "close_during_download": close_during_download,
    "server_drips": server_drips,
    "https_update": https_update,
    "https_untrusted_authority": https_untrusted_authority,
    "https_other_host": https_other_host,
    "https_tls10_only": https_tls10_only,
    "https_redirect_to_http": https_redirect_to_http,
    "signed_release": signed_release,
    "signed_main_swapped": signed_main_swapped,
    "signed_replay": signed_replay,
    "signed_expired": signed_expired,
    "signed_site_missing": signed_site_missing,
}


def trust_in_prefix(bin_dir, authority):
    """Adds the run's test authority to the Root store of the running Wine prefix (never the machine's)."""
    result = subprocess.run(["wine", str(bin_dir / "trust_root.exe"), windows_path(authority)],
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    check(result.returncode == 0, "the Wine prefix did not take the test authority: %s"
          % result.stderr.decode("utf-8", "replace"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, type=pathlib.Path)
    parser.add_argument("--https-bin", type=pathlib.Path)
    parser.add_argument("--failures", type=pathlib.Path, default=pathlib.Path("e2e-failures").resolve())
    parser.add_argument("--key-launcher", type=pathlib.Path, help="a launcher built with an update key")
    parser.add_argument("--signing-key", type=pathlib.Path, help="the private key of that update key")
    parser.add_argument("--full-check-launcher", type=pathlib.Path,
                        help="a launcher built with the quick check off (VORN_QUICK_CHECK=OFF)")
    parser.add_argument("journeys", nargs="*", help="some of: " + ", ".join(JOURNEYS))
    args = parser.parse_args()
    require_session("run_e2e.py", args.journeys, JOURNEYS)
    bin_dir = args.bin.resolve()
    https_bin = (args.https_bin or bin_dir / "https").resolve()
    shutil.rmtree(args.failures, ignore_errors=True)
    certificates = pathlib.Path(tempfile.mkdtemp(prefix="vorn-e2e-certificates-"))
    try:
        test_certificates.make(certificates)
        trust_in_prefix(bin_dir, certificates / "ca.pem")
        return play(args.journeys or list(JOURNEYS), JOURNEYS,
                    lambda name: Journey(bin_dir, args.failures, name, https_bin, certificates, args.key_launcher,
                                         args.signing_key, args.full_check_launcher))
    finally:
        shutil.rmtree(certificates, ignore_errors=True)


def require_session(tool, names, journeys):
    """Stops with a message outside a Wine session, or when a journey of `names` is not one of `journeys`."""
    for variable in ("DISPLAY", "WINEPREFIX"):
        if not os.environ.get(variable):
            sys.exit("%s: %s is not set; run inside a Wine session (scripts/test.sh -R e2e)" % (tool, variable))
    unknown = [name for name in names if name not in journeys]
    if unknown:
        sys.exit("%s: no journey named %s" % (tool, ", ".join(unknown)))


def play(names, journeys, new_journey):
    """Plays the journeys of `journeys` named `names`, each with its own new_journey(name); 1 if one failed."""
    passed = failed = 0
    for name in names:
        journey = new_journey(name)
        started = time.monotonic()
        try:
            journeys[name](journey)
            passed += 1
            print("PASS %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
        except Exception:
            failed += 1
            print("FAIL %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
            traceback.print_exc(file=sys.stdout)
            print("     screenshot and logs: %s" % journey.keep_evidence(), flush=True)
        finally:
            journey.stop()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
