#!/usr/bin/env python3
"""A release published while players update: the launcher built with the test update key (its address
http://127.0.0.1/updates/) against nginx on 127.0.0.1:80 serving a site that tools/publish.py keeps, a release
of the sample client made live while the launcher is part way through an update. No player may be told of
tampering, and every client ends wholly one release.

Journeys:
  publish_during_download   the launcher has read release 1's record and manifest and is downloading its files
                            (more than it downloads at once, each sent at 64 KiB a second) when release 2 goes
                            live: the files it asks for after the switch are still release 1's, it installs
                            release 1 whole, and its next start installs release 2.
  publish_between_record_and_manifest
                            the site sends the record slowly, and release 2 goes live while release 1's record is
                            on its way: the launcher gets release 1's record and release 2's manifest, asks for the
                            pair again and installs release 2.

Usage (inside a Wine session, ports 80 and 33556 free):
  publish_journeys.py --bin BUILD/bin --key-launcher EXE --signing-key PEM [--failures DIR] [JOURNEY ...]"""
import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(HERE))
import run_e2e  # noqa: E402

check = run_e2e.check
SITE_RATE = 64 * 1024
# The files the launcher downloads at once (VORN_DOWNLOAD_CONNECTIONS of the test build), and more files than
# that, each taking four seconds at the site's rate: the last ones are asked for after the publish.
CONNECTIONS = 8
PACK_FILES = 12
PACK_FILE_BYTES = 4 * SITE_RATE
# The record is sent at this many bytes a second: its 0.8 KiB take longer than a publish, and far less than the
# launcher's patience with a slow server (a minute at under 1 KiB/s).
RECORD_RATE = 60
# A site written as an operator's nginx site would be, with the record sent slowly.
SLOW_RECORD_SITE = """server {{
    listen 127.0.0.1:{port};
    root "{root}";
    location = /updates/up.ini.sig {{
        limit_rate {rate};
    }}
}}
"""


class PublishJourney(run_e2e.Journey):
    """A journey whose update site is a link tools/publish.py moves from one release to the next."""

    def make_releases(self, pack_files=0):
        """The client of a player with the test-key launcher, and the operator's folders of releases 1 and 2:
        release 2 changes the configuration file and every one of `pack_files` data files the player lacks."""
        self.make_client(launcher=self.key_launcher)
        # The sample's site folder without its manifest and block indexes becomes release 1's client folder; its
        # path is where the live link goes.
        self.releases = [self.root / "release-1", self.root / "release-2"]
        os.rename(self.site, self.releases[0])
        (self.releases[0] / "up.ini").unlink()
        shutil.rmtree(self.releases[0] / "up.ini.blocks")
        shutil.copytree(self.releases[0], self.releases[1])
        (self.releases[1] / "Data" / "Config" / "client.ini").write_bytes(b"[Client]\nVersion=2.62.82\n")
        for index in range(pack_files):
            for number, release in enumerate(self.releases, start=1):
                pack = release / "Data" / "Pack" / ("part%02d.bin" % index)
                pack.parent.mkdir(parents=True, exist_ok=True)
                pack.write_bytes(bytes([index, number]) * (PACK_FILE_BYTES // 2))

    def publish(self, number):
        result = subprocess.run([sys.executable, str(REPO / "tools" / "publish.py"), "release",
                                 str(self.releases[number - 1]), str(self.site), "--key", str(self.signing_key)],
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        check(result.returncode == 0, "publish.py failed: " + result.stderr.decode("utf-8", "replace"))
        check(os.readlink(self.site) == "updates.releases/%d" % number, "release %d is not live" % number)

    def launch(self):
        """Starts the launcher without waiting for its window: the update runs from the start, and the journey
        acts on what the site sees."""
        self.launcher = subprocess.Popen(["wine", str(self.client / "VornLauncher.exe")], stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def requested(self, path):
        return any(r[2] == "GET %s HTTP/1.1" % path for r in self.site_requests())

    def answered(self, prefix):
        """How many requests for paths starting with `prefix` nginx has answered. It logs a request after its last
        byte went out, which the launcher may already have read: a count that must have grown is waited for."""
        return sum(1 for r in self.site_requests() if r[2].startswith("GET " + prefix))

    def check_client_is_release(self, number):
        """Every file of release `number` in the client, byte for byte, and the release kept as installed."""
        release = self.releases[number - 1]
        for path in sorted(release.rglob("*")):
            if path.is_file():
                relative = path.relative_to(release)
                check((self.client / relative).read_bytes() == path.read_bytes(),
                      "%s is not release %d's" % (relative, number))
        installed = (self.client / ".vorn-release").read_bytes()
        check(installed == b"%d\n" % number, "the installed release kept: %r" % installed)
        check(run_e2e.staging_dirs(self.client) == [], "a staging directory remains")

    def update_succeeds(self, window, timeout):
        """The update ends in success. A failure's reason shows in the status line (see the screenshot): asking
        for it by clicking the label would start the update again."""
        window = self.wait_update_end(window, timeout)
        label = self.me.child(window, run_e2e.player.UPDATE_LABEL_ID)
        check(not label["visible"], "the update failed: %r" % label["text"])
        return window


def publish_during_download(j):
    j.make_releases(pack_files=PACK_FILES)
    j.publish(1)
    j.start_service()
    j.start_site(rate=SITE_RATE)
    j.launch()
    j.me.wait("the launcher to read release 1's manifest", lambda: j.requested("/updates/up.ini"), 60)
    j.publish(2)
    # At most CONNECTIONS requests run at once: with fewer answered than that below the pack's count, some of the
    # pack's files are asked for only after the switch.
    check(j.answered("/updates/1/Data/Pack/") < PACK_FILES - CONNECTIONS,
          "the files were downloaded before release 2 went live; the journey proves nothing")
    j.update_succeeds(j.me.wait_launcher(60), 120)
    j.me.wait("nginx's answers of all the pack's files from release 1",
              lambda: j.answered("/updates/1/Data/Pack/") == PACK_FILES, 10)
    j.check_client_is_release(1)

    j.end_launchers()
    j.update_succeeds(j.start_launcher(), 120)
    j.check_client_is_release(2)


def publish_between_record_and_manifest(j):
    j.make_releases()
    j.publish(1)
    j.start_service()
    run_e2e.require_free_port(run_e2e.SITE_PORT, "the update site")
    conf = j.root / "slow-record.conf"
    conf.write_text(SLOW_RECORD_SITE.format(port=run_e2e.SITE_PORT, root=j.root / "site", rate=RECORD_RATE))
    ready = j.root / "nginx.ready"
    j.run_site([sys.executable, str(REPO / "tools" / "nginx_site.py"), "--site-conf", str(conf), "--prefix",
                str(j.root / "nginx"), "--http", str(run_e2e.SITE_PORT), "--lifetime", "300", "--ready-file",
                str(ready)], ready, "nginx did not start")
    j.launch()
    j.me.wait("the launcher to start its update", lambda: run_e2e.staging_dirs(j.client), 60)
    time.sleep(1.0)
    j.publish(2)
    check(not j.requested("/updates/up.ini.sig") and not j.requested("/updates/up.ini"),
          "the record was read before release 2 went live; the journey proves nothing")
    j.update_succeeds(j.me.wait_launcher(60), 180)
    j.check_client_is_release(2)


JOURNEYS = {
    "publish_during_download": publish_during_download,
    "publish_between_record_and_manifest": publish_between_record_and_manifest,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0])
    parser.add_argument("--bin", required=True, type=pathlib.Path)
    parser.add_argument("--key-launcher", required=True, type=pathlib.Path)
    parser.add_argument("--signing-key", required=True, type=pathlib.Path)
    parser.add_argument("--failures", type=pathlib.Path, default=pathlib.Path("e2e-publish-failures").resolve())
    parser.add_argument("journeys", nargs="*", help="some of: " + ", ".join(JOURNEYS))
    args = parser.parse_args()
    run_e2e.require_session("publish_journeys.py", args.journeys, JOURNEYS)
    return run_e2e.play(args.journeys or list(JOURNEYS), JOURNEYS,
                        lambda name: PublishJourney(args.bin.resolve(), args.failures, name,
                                                    key_launcher=args.key_launcher, signing_key=args.signing_key))


if __name__ == "__main__":
    sys.exit(main())
