#!/usr/bin/env python3
"""Plays the README's operator's guide as written, in a throwaway folder: every command block in order, with the
guide's example names mapped to the folder and to loopback ports of the run's own, and players under Wine in a
prefix of their own. Each block of the guide carries a comment saying what it is:

  <!-- guide-test: run [NAME] -->   commands run with bash (in ~/vorn-launcher once it exists); they must succeed
  <!-- guide-test: file PATH -->    the block is the content of the file PATH
  <!-- guide-test: copy -->         the clone: the test copies the sources under test instead
  <!-- guide-test: service PORT --> a service that runs until stopped: started, and waited for on PORT
  <!-- guide-test: nginx (...) -->  enabling the site on the machine's nginx: the test serves the site file with
                                    nginx of its own (tools/nginx_site.py --site-conf) instead
  <!-- guide-test: player -->       a player starting the launcher: the test starts it and plays it
  <!-- guide-test: skip (why) -->   not run, for the reason given

A block without such a comment fails the test, so no command enters the guide untried. Around the blocks the test
does what the operator and the players do by hand: it provides a game client and a working client's connection
block, plays the first player (regions, an update, a region chosen, the game started), and before the second
release is published starts a second player whose update is still downloading release 1 when release 2 goes live:
that player must finish release 1 whole, and its next start must bring release 2 with the new launcher. It reads
the site as a launcher would: each release's block indexes must be served as its manifest lists them, release 1's
still after release 2 went live, and the renewed record must be a new signature of the same release, which the
second player's launcher then takes.

Usage (inside a Wine session with DISPLAY set; port 33556 free):
  play_guide.py --readme README.md --source SOURCE_DIR --bin BUILD/bin --work WORK_DIR
WORK_DIR is emptied at the start but for the copy's build folder, which is kept so a second run builds little."""
import argparse
import hashlib
import http.client
import os
import pathlib
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import textwrap
import time
import traceback

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "e2e"))
sys.path.insert(0, str(HERE.parents[1] / "tools"))
import player  # noqa: E402
import sample_client  # noqa: E402
import sign_release  # noqa: E402

MARKER = re.compile(r"<!-- guide-test: (\S+)\s*(.*?) -->")
BLOCK_TIMEOUT_S = 1500
# The site sends each response at this pace, so the second player is still downloading release 1's large file
# (1 MiB, eight seconds) when release 2 goes live.
SITE_RATE = 128 * 1024
BIG_FILE_KIB = 1024
REGION_NAMES = ["岚谷一区", "青云二区"]
CONNECT = "Updater /u127.0.0.1 /p55960"


def remove(path):
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path)
    else:
        path.unlink()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def accepting(port):
    with socket.socket() as probe:
        probe.settimeout(0.5)
        return probe.connect_ex(("127.0.0.1", port)) == 0


def guide_blocks(readme):
    """(kind, argument, text) of every code block of the operator's guide, in order."""
    text = pathlib.Path(readme).read_text(encoding="utf-8")
    start = text.index("\n## Operator's guide")
    guide = text[start:text.index("\n## ", start + 1)]
    blocks = []
    marker = None
    lines = guide.split("\n")
    index = 0
    while index < len(lines):
        line = lines[index]
        found = MARKER.fullmatch(line.strip())
        if found:
            marker = (found.group(1), found.group(2))
        elif line.startswith("    ") and (not lines[index - 1].strip() or MARKER.fullmatch(lines[index - 1].strip())):
            body = []
            while index < len(lines) and (lines[index].startswith("    ") or not lines[index].strip()):
                body.append(lines[index])
                index += 1
            if marker is None:
                raise AssertionError("a command block of the guide says nothing of what it is:\n" + "\n".join(body))
            blocks.append((marker[0], marker[1], textwrap.dedent("\n".join(body)).strip("\n") + "\n"))
            marker = None
            continue
        index += 1
    return blocks


class Guide:
    def __init__(self, args):
        self.args = args
        self.work = args.work.resolve()
        self.home = self.work / "home"
        self.repo = self.home / "vorn-launcher"
        self.ports = {"https": free_port(), "http": free_port(), "auth1": free_port(), "auth2": free_port()}
        self.processes = []
        self.prefix = self.home / "vorn-player-wine"
        self.me = player.Player(str(args.bin / "window_probe.exe"))
        self.second = None     # the second player's client folder
        self.first_indexes = {}  # release 1's block indexes: [Blocks] key -> value

    def substitutions(self):
        """The guide's example names and ports, and what they are in this run; where two start at one place, the
        first listed applies."""
        return [
            ("root@updates.example.com:/srv/", "%s/srv/" % self.work),
            ("https://updates.example.com/", "https://localhost:%d/" % self.ports["https"]),
            ("updates.example.com", "localhost"),
            ("/srv/", "%s/srv/" % self.work),
            ("/etc/nginx/", "%s/etc/nginx/" % self.work),
            ("~/", "%s/" % self.home),
            ("203.0.113.7", "127.0.0.1"),
            ("7101", str(self.ports["auth1"])),
            ("7102", str(self.ports["auth2"])),
            ("/path/to/working/client", str(self.work / "samples" / "working-client")),
            ("/path/to/game/client", str(self.work / "samples" / "game-client")),
        ]

    def local(self, text):
        """`text` with every example name in its place, in one pass (a name put in is never looked at again)."""
        table = dict(self.substitutions())
        names = re.compile("|".join(re.escape(example) for example in table))
        return names.sub(lambda found: table[found.group(0)], text)

    def site_file(self, text):
        """The guide's nginx site on this run's loopback ports, paced so the second player is caught mid-update."""
        text = text.replace("listen 443 ssl;", "listen 127.0.0.1:%d ssl;" % self.ports["https"])
        text = text.replace("listen 80;", "listen 127.0.0.1:%d;" % self.ports["http"])
        text = "\n".join(line for line in text.split("\n") if "listen [::]" not in line)
        return text.replace("autoindex off;", "autoindex off;\n    limit_rate %d;" % SITE_RATE)

    def prepare(self):
        """An empty folder but for the copy's build tree; the client the operator starts from, and a working
        client's connection block."""
        kept = (self.home, self.repo, self.repo / "build")
        for folder in (self.work,) + kept[:2]:
            for entry in folder.iterdir() if folder.exists() else []:
                if entry not in kept:
                    remove(entry)
        self.home.mkdir(parents=True, exist_ok=True)
        samples = self.work / "samples"
        _, game = sample_client.make(samples / "made", self.args.bin, big_file_kib=BIG_FILE_KIB)
        (game / "up.ini").unlink()
        shutil.rmtree(game / "up.ini.blocks")
        os.rename(game, samples / "game-client")
        block = samples / "working-client" / "Data" / "Local" / "Connect.msil"
        block.parent.mkdir(parents=True)
        block.write_bytes(bytes((11 * i + 5) % 256 for i in range(178)))

    def copy_sources(self):
        """The sources under test where the guide clones them: git's tracked and untracked files, not ignored (in
        a folder that is no checkout, all but what .gitignore names)."""
        source = self.args.source.resolve()
        self.repo.mkdir(parents=True, exist_ok=True)
        listed = subprocess.run(["git", "-C", str(source), "ls-files", "-z", "--cached", "--others",
                                 "--exclude-standard"], capture_output=True, timeout=60)
        if listed.returncode == 0:
            command = ["rsync", "-a", "--from0", "--files-from=-"]
        else:
            command = ["rsync", "-a", "--exclude=/.git", "--exclude-from=%s" % (source / ".gitignore")]
        subprocess.run(command + [str(source) + "/", str(self.repo) + "/"], input=listed.stdout, check=True,
                       timeout=600)

    def run(self, text, name):
        cwd = self.repo if self.repo.exists() else self.home
        print("--- %s\n%s" % (name, text), flush=True)
        started = time.monotonic()
        result = subprocess.run(["bash", "-euo", "pipefail", "-c", text], cwd=cwd, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=BLOCK_TIMEOUT_S)
        output = result.stdout.decode("utf-8", "replace")
        print(textwrap.indent(output[-4000:], "    "), end="", flush=True)
        print("    (%.1f s, status %d)" % (time.monotonic() - started, result.returncode), flush=True)
        if result.returncode != 0:
            raise AssertionError("the guide's block failed:\n" + text)
        return output

    def start(self, command, cwd, log, **environment):
        process = subprocess.Popen(["bash", "-c", command], cwd=cwd, stdin=subprocess.DEVNULL,
                                   stdout=open(log, "wb"), stderr=subprocess.STDOUT, start_new_session=True,
                                   env=dict(os.environ, **environment))
        self.processes.append(process)
        return process

    def wait(self, what, condition, timeout):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                raise AssertionError("timed out waiting for " + what)
            time.sleep(0.3)

    def serve_site(self, site_conf):
        ready = self.work / "nginx.ready"
        self.start("exec %s %s --site-conf %s --prefix %s --http %d --https %d --lifetime 1800 --ready-file %s" % (
            sys.executable, self.repo / "tools" / "nginx_site.py", site_conf, self.work / "nginx", self.ports["http"],
            self.ports["https"], ready), self.work, self.work / "nginx.log")
        self.wait("nginx to serve the guide's site", ready.exists, 30)

    def fetch(self, path):
        """A file of the update site as a player's launcher gets it: over HTTPS from the trial authority's site."""
        context = ssl.create_default_context(cafile=str(self.home / "vorn-trial-ca" / "ca.pem"))
        connection = http.client.HTTPSConnection("localhost", self.ports["https"], timeout=30, context=context)
        try:
            connection.request("GET", "/vorn/" + path)
            answer = connection.getresponse()
            body = answer.read()
        finally:
            connection.close()
        if answer.status != 200:
            raise AssertionError("the site answered /vorn/%s with %d" % (path, answer.status))
        return body

    def served_indexes(self, blocks):
        """Every block index of a manifest's [Blocks] section (key -> value) served whole, as it lists it."""
        for key, value in blocks.items():
            size, digest, path = value.split(" ")
            body = self.fetch(path)
            if (len(body), hashlib.sha256(body).hexdigest()) != (int(size), digest):
                raise AssertionError("the site serves another block index %s than its manifest lists" % key)

    def live_indexes(self):
        """The live manifest's block indexes, each checked as served; there is one at least (the client's
        large file)."""
        blocks = sign_release.manifest_sections(self.fetch("up.ini")).get("blocks", {})
        if not blocks:
            raise AssertionError("the live release lists no block index")
        self.served_indexes(blocks)
        return blocks

    def site_requests(self):
        log = self.work / "nginx" / "access.log"
        return log.read_text(encoding="utf-8", errors="replace").splitlines() if log.exists() else []

    def answered(self, path):
        """How many times nginx answered `path` with 200. nginx logs a request after its last byte went out, which
        a player may already have read: wait for a count that must have grown rather than reading it once."""
        return sum(1 for line in self.site_requests() if line.endswith('"GET %s HTTP/1.1"' % path) and " 200 " in line)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=str(self.prefix)),
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        for process in self.processes:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()


class Players:
    """The players' side under the guide's Wine prefix: the window probe and the X mouse and keyboard."""

    def __init__(self, guide):
        self.guide = guide
        os.environ["WINEPREFIX"] = str(guide.prefix)
        self.me = guide.me

    def launcher(self, pid=None, timeout=120):
        return self.me.wait_launcher(timeout, pid=pid)

    def update_end(self, window, timeout=120):
        """The update's end, which must be a success."""
        window = self.me.wait_update_end(window, timeout)
        label = self.me.child(window, player.UPDATE_LABEL_ID)
        if label["visible"]:
            player.Player.screenshot(str(self.guide.work / "update-failed.png"))
            raise AssertionError("the update failed: %r (see %s)" % (label["text"],
                                                                    self.guide.work / "update-failed.png"))
        return window

    def end(self, window):
        subprocess.run(["wine", str(self.guide.args.bin / "window_probe.exe"), "kill", str(window["pid"])],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.me.wait("the launcher to end", lambda: self.me.refresh(window) is None, 30)


def client_is_release(folder, release_folder, number):
    """Every file of the published release in the client folder, byte for byte, and its number kept."""
    for path in sorted(release_folder.rglob("*")):
        if path.is_file():
            relative = path.relative_to(release_folder)
            if (folder / relative).read_bytes() != path.read_bytes():
                raise AssertionError("%s is not release %d's" % (relative, number))
    installed = (folder / ".vorn-release").read_bytes()
    if installed != b"%d\n" % number:
        raise AssertionError("the installed release kept: %r" % installed)


def first_player(guide, players, text):
    """Step 10's player: regions, the first update, a region chosen, the game started."""
    guide.start(guide.local(text), guide.home, guide.work / "player.log", WINEPREFIX=str(guide.prefix))
    window = players.launcher()
    me = players.me
    me.wait("the regions", lambda: (lambda w: w if w and me.region_texts(w)[:2] == REGION_NAMES else None)(
        me.refresh(window)), 60)
    window = players.update_end(window)
    me.click(window, player.region_button(0))
    window = me.wait("enter-game to be enabled", lambda: (lambda w: w if w and me.child(
        w, player.ENTER_GAME_ID)["enabled"] else None)(me.refresh(window)), 20)
    me.click(window, player.ENTER_GAME_BUTTON)
    record = guide.home / "vorn-player" / "game_record.txt"
    guide.wait("the game's record", record.exists, 60)
    command_line = dict(line.split("=", 1) for line in record.read_text(encoding="utf-8").splitlines())[
        "command_line"]
    if not command_line.endswith(CONNECT):
        raise AssertionError("the game was started with %r" % command_line)
    players.end(window)
    print("    the first player updated, chose %s and entered the game: %s" % (REGION_NAMES[0], command_line))


def second_player_mid_update(guide, players):
    """Before release 2 goes live: the game's new files in the operator's client, and a player whose client lacks
    release 1's large file, downloading it when the publish comes."""
    (guide.home / "vorn-client" / "Data" / "Config" / "client.ini").write_bytes(b"[Client]\nVersion=2.62.90\n")
    client = guide.home / "vorn-player-2"
    shutil.copytree(guide.home / "vorn-player", client, symlinks=True)
    (client / sample_client.BIG_FILE).unlink()
    (client / "game_record.txt").unlink()
    manifests = guide.answered("/vorn/up.ini")
    guide.start("exec wine VornLauncher.exe", client, guide.work / "player-2.log", WINEPREFIX=str(guide.prefix))
    guide.wait("the second player to read release 1's manifest",
               lambda: guide.answered("/vorn/up.ini") > manifests, 120)
    guide.second = client


def second_player_after_publish(guide, players):
    big = "/vorn/1/" + sample_client.BIG_FILE
    if guide.answered(big):
        raise AssertionError("the second player had its download before release 2 went live; nothing was shown")
    window = players.update_end(players.launcher(), 120)
    guide.wait("nginx's answer of the large file from release 1", lambda: guide.answered(big), 10)
    releases = guide.home / "vorn-site" / "vorn.releases"
    client_is_release(guide.second, releases / "1" / "1", 1)
    print("    the second player finished release 1 while release 2 went live")
    guide.served_indexes(guide.first_indexes)
    changed = set(guide.first_indexes.values()) - set(guide.live_indexes().values())
    if not changed:
        raise AssertionError("release 2 changed no file that has a block index (its launcher has one)")
    print("    release 1's block indexes are still served beside release 2's (%d of them changed)" % len(changed))
    players.end(window)

    guide.start("exec wine VornLauncher.exe", guide.second, guide.work / "player-2b.log",
                WINEPREFIX=str(guide.prefix))
    dialog = players.me.wait_dialog("重新启动登录器", timeout=120)
    old_pid = dialog["pid"]
    players.me.press_return(dialog)
    window = players.update_end(players.launcher(pid=old_pid), 120)
    new_launcher = guide.repo / "dist" / "VornLauncher-1.1.0" / "VornLauncher.exe"
    guide.wait("the new launcher in place", lambda: (guide.second / "VornLauncher.exe").read_bytes() ==
               new_launcher.read_bytes(), 60)
    client_is_release(guide.second, releases / "2" / "2", 2)
    print("    its next start installed release 2 and restarted into launcher 1.1.0")
    players.end(window)


def renewed(guide, players, before):
    """The record a renewal left: the same release and manifest signed again, which a player's launcher takes."""
    old, new = sign_release.Record(before), sign_release.Record(guide.fetch("up.ini.sig"))
    if new.body == old.body or (new.release, new.manifest) != (old.release, old.manifest) or \
            new.signed_at < old.signed_at:
        raise AssertionError("the renewal did not sign release %d again" % old.release)
    records = guide.answered("/vorn/up.ini.sig")
    guide.start("exec wine VornLauncher.exe", guide.second, guide.work / "player-2c.log",
                WINEPREFIX=str(guide.prefix))
    players.end(players.update_end(players.launcher(), 120))
    guide.wait("the second player's launcher to read the renewed record",
               lambda: guide.answered("/vorn/up.ini.sig") > records, 10)
    print("    the second player's launcher took the renewed record of release %d" % new.release)


def play(guide):
    blocks = guide_blocks(guide.args.readme)
    guide.prepare()
    players = None
    for number, (kind, argument, text) in enumerate(blocks, start=1):
        name = "block %d: %s %s" % (number, kind, argument)
        if kind == "copy":
            print("--- %s (the sources under test, copied)" % name, flush=True)
            guide.copy_sources()
        elif kind == "run":
            if argument == "publish-2":
                second_player_mid_update(guide, players)
            record = guide.fetch("up.ini.sig") if argument == "renew" else None
            guide.run(guide.local(text), name)
            if argument == "publish-1":
                guide.first_indexes = guide.live_indexes()
            elif argument == "publish-2":
                second_player_after_publish(guide, players)
            elif argument == "renew":
                renewed(guide, players, record)
        elif kind == "file":
            path = pathlib.Path(guide.local(argument))
            path.parent.mkdir(parents=True, exist_ok=True)
            content = guide.local(text)
            path.write_text(guide.site_file(content) if "/etc/nginx/" in argument else content, encoding="utf-8")
            print("--- %s (written)" % name, flush=True)
        elif kind == "service":
            port = int(argument)
            if accepting(port):
                raise AssertionError("port %d is taken before the guide's service starts" % port)
            guide.start("exec " + guide.local(text).replace("\\\n", " "), guide.repo, guide.work / "service.log")
            guide.wait("the service on port %d" % port, lambda: accepting(port), 30)
            print("--- %s (started)" % name, flush=True)
        elif kind == "nginx":
            guide.serve_site(guide.work / "etc" / "nginx" / "sites-available" / "vorn-updates")
            print("--- %s (nginx of the test's own serves the site file)" % name, flush=True)
        elif kind == "player":
            players = players or Players(guide)
            first_player(guide, players, text)
        elif kind == "skip":
            print("--- %s" % name, flush=True)
        else:
            raise AssertionError("block %d: no such kind %r" % (number, kind))
    unused = [example for example, _ in guide.substitutions() if not any(example in t for _, _, t in blocks)]
    if unused:
        raise AssertionError("the guide no longer names %s; the test's names are out of date" % unused)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0])
    parser.add_argument("--readme", required=True, type=pathlib.Path)
    parser.add_argument("--source", required=True, type=pathlib.Path)
    parser.add_argument("--bin", required=True, type=pathlib.Path)
    parser.add_argument("--work", required=True, type=pathlib.Path)
    args = parser.parse_args()
    args.bin = args.bin.resolve()
    if not os.environ.get("DISPLAY"):
        sys.exit("play_guide.py: DISPLAY is not set; run inside a Wine session (scripts/test.sh -R guide)")
    guide = Guide(args)
    started = time.monotonic()
    try:
        play(guide)
    except Exception:
        traceback.print_exc(file=sys.stdout)
        print("FAIL the guide (%.0f s); its folder: %s" % (time.monotonic() - started, guide.work))
        return 1
    finally:
        guide.stop()
    print("PASS the guide, played as written (%.0f s)" % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
