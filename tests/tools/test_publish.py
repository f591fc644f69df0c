#!/usr/bin/env python3
"""tools/publish.py on real folders: releases made beside the live one and switched in one step, unchanged files
shared, failures (a refused path, a wrong key, a step that fails, the process killed while it copies) that leave
the live release as it was, rollback, and the upload order checked through nginx by a client that reads the
site while releases are published and uploaded."""
import hashlib
import http.client
import os
import pathlib
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zlib

TOOLS = pathlib.Path(__file__).resolve().parents[2] / "tools"
sys.path.insert(0, str(TOOLS))
import publish  # noqa: E402
import sign_release  # noqa: E402

PUBLISH = [sys.executable, str(TOOLS / "publish.py")]


def run(*arguments, **options):
    return subprocess.run(PUBLISH + [str(a) for a in arguments], capture_output=True, timeout=120, **options)


def snapshot(folder):
    """Every entry under `folder`: a link's target, a file's bytes, a folder's presence."""
    entries = {}
    for current, dirs, names in os.walk(folder):
        for name in dirs + names:
            path = pathlib.Path(current) / name
            relative = str(path.relative_to(folder))
            if path.is_symlink():
                entries[relative] = "-> " + os.readlink(path)
            elif path.is_file():
                entries[relative] = path.read_bytes()
            else:
                entries[relative] = "folder"
    return entries


class PublishTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.keys = tempfile.TemporaryDirectory(prefix="vorn-publish-keys-")
        cls.key = pathlib.Path(cls.keys.name) / "key.pem"
        cls.public_key = sign_release.public_key_hex(sign_release.keygen(str(cls.key)))
        cls.other_public_key = sign_release.public_key_hex(sign_release.keygen(str(cls.key) + ".other"))

    @classmethod
    def tearDownClass(cls):
        cls.keys.cleanup()

    def setUp(self):
        folder = tempfile.TemporaryDirectory(prefix="vorn-publish-test-")
        self.addCleanup(folder.cleanup)
        self.root = pathlib.Path(folder.name)
        self.client = self.root / "client"
        self.live = self.root / "site" / "vorn"
        self.write_client({"Main.exe": b"MZ game 1", "Data/map.bin": bytes(range(256)) * 64,
                           "Data/Local/Connect.msil": b"player's own"})

    def write_client(self, files):
        for relative, content in files.items():
            path = self.client / relative
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(content)

    def release(self, *options):
        result = run("release", self.client, self.live, "--exclude", "Data/Local/*", *options)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        return result

    def served(self, site_path):
        return (self.live / site_path).read_bytes()

    def assert_refused_when_spoiled(self, spoil, message):
        """A signed release that the step `spoil` changes just before the check is refused with `message`, the
        site left as it was."""
        before = snapshot(self.root / "site")
        options = publish.arguments(["release", str(self.client), str(self.live), "--key", str(self.key),
                                     "--exclude", "Data/Local/*"])
        steps = publish.STEPS
        publish.STEPS = steps[:-1] + (spoil, steps[-1])
        try:
            with self.assertRaisesRegex(publish.PublishError, message):
                publish.release_command(options)
        finally:
            publish.STEPS = steps
        self.assertEqual(snapshot(self.root / "site"), before)

    def test_a_release_goes_live_beside_the_last_one_sharing_unchanged_files_and_rolls_back_as_a_new_one(self):
        self.release("--key", self.key)
        self.assertEqual(os.readlink(self.live), "vorn.releases/1")
        manifest = self.served("up.ini")
        self.assertEqual(sign_release.manifest_site_paths(manifest), ["1/Data/map.bin", "1/Main.exe"])
        self.write_client({"Main.exe": b"MZ game 2"})
        self.release("--key", self.key)
        self.assertEqual(os.readlink(self.live), "vorn.releases/2")
        releases = self.root / "site" / "vorn.releases"
        self.assertEqual((releases / "2" / "2" / "Data" / "map.bin").stat().st_ino,
                         (releases / "1" / "1" / "Data" / "map.bin").stat().st_ino, "an unchanged file was copied")
        # A launcher that read release 1's manifest just before the switch still finds its files.
        self.assertEqual(self.served("1/Main.exe"), b"MZ game 1")
        self.assertEqual(self.served("2/Main.exe"), b"MZ game 2")
        paths = sign_release.manifest_site_paths(self.served("up.ini"))
        files = {p: str(self.live / p) for p in paths}
        self.assertEqual(sign_release.verify_record(self.served("up.ini.sig"), self.served("up.ini"), files,
                                                    self.public_key).release, 2)

        self.assertEqual(run("rollback", self.live, "--key", self.key).returncode, 0)
        self.assertEqual(os.readlink(self.live), "vorn.releases/3")
        self.assertEqual(self.served("3/Main.exe"), b"MZ game 1")
        self.assertEqual(sorted(os.listdir(releases)), [".lock", "2", "3"], "not the live release and the one before")
        self.assertEqual(self.served("2/Main.exe"), b"MZ game 2")
        status = run("status", self.live).stdout.decode()
        self.assertRegex(status, r"\Akept 2 \(signed, valid until [-0-9: ]+ UTC\)\n"
                                 r"live 3 \(signed, valid until [-0-9: ]+ UTC\)\n\Z")

    def indexes_listed(self, manifest):
        """{site path of the file: (index size, SHA-256, index site path)} of a manifest's [Blocks] section."""
        sections = sign_release.manifest_sections(manifest)
        paths = sign_release.manifest_site_paths(manifest)
        return {paths[int(key[5:]) - 1]: tuple(value.split(" ")) for key, value in sections["blocks"].items()}

    def test_block_indexes_go_with_their_release_and_stay_for_the_kept_ones(self):
        self.write_client({"Data/big.pak": os.urandom((1 << 20) + 5), "Data/music.bin": os.urandom(2 << 20)})
        self.release("--key", self.key)
        first = self.indexes_listed(self.served("up.ini"))
        self.assertEqual(sorted(first), ["1/Data/big.pak", "1/Data/music.bin"])
        for size, digest, site_path in first.values():
            index = self.served(site_path)
            self.assertEqual((len(index), hashlib.sha256(index).hexdigest()), (int(size), digest))
            self.assertEqual(site_path, "up.ini.blocks/" + digest)

        self.write_client({"Data/music.bin": os.urandom(2 << 20)})
        self.release("--key", self.key)
        second = self.indexes_listed(self.served("up.ini"))
        releases = self.root / "site" / "vorn.releases"
        big = first["1/Data/big.pak"][2]
        self.assertEqual(second["2/Data/big.pak"][2], big)
        self.assertEqual((releases / "2" / big).stat().st_ino, (releases / "1" / big).stat().st_ino,
                         "an unchanged index was written again")
        # A launcher that read release 1's manifest just before the switch finds its indexes after it too.
        old_music = first["1/Data/music.bin"][2]
        self.assertNotEqual(second["2/Data/music.bin"][2], old_music)
        self.assertEqual(self.served(old_music), (releases / "1" / old_music).read_bytes())

        # Past the kept releases, their indexes go; without indexes the manifest lists none.
        self.write_client({"Main.exe": b"MZ game 3"})
        self.release("--key", self.key, "--no-block-index")
        self.assertNotIn("blocks", sign_release.manifest_sections(self.served("up.ini")))
        self.assertEqual(sorted(os.listdir(releases / "3" / "up.ini.blocks")),
                         sorted(value[1] for value in second.values()))

        # A release whose index does not hold what the manifest says is refused, the live one kept.
        def spoil(release):
            index = pathlib.Path(release.folder) / "up.ini.blocks" / second["2/Data/big.pak"][1]
            changed = bytearray(index.read_bytes())
            changed[40] ^= 1
            index.unlink()  # a hard link to the live release's index, which must stay as it is
            index.write_bytes(changed)
        self.assert_refused_when_spoiled(spoil, "block index of 4/Data/.* does not match")

    def test_the_check_refuses_what_a_launcher_with_the_key_would_refuse(self):
        files = {}
        for name, content in (("1/Main.exe", b"MZ game"), ("1/Data/map.bin", b"map")):
            path = self.root / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(content)
            files[name] = str(path)
        manifest = b"[Set]\r\nCount=2\r\n"
        key = sign_release.load_private_key(str(self.key))
        record = sign_release.build_record(key, manifest, files, 7, signed_at=1000000000, valid_days=2)
        # A clock behind the signing time is no reason to refuse; only the end of the record's days is.
        for now in (0, 1000000000 + 2 * 86400):
            self.assertEqual(sign_release.verify_record(record, manifest, files, self.public_key, now).release, 7)
        body = record[:record.rindex(b"signature ")]
        time_line = b"file 0 %s vorn:signed 1000000000 valid 172800\n" % (b"0" * 64)
        self.assertIn(time_line, body)
        later_field = body.replace(time_line, time_line + b"file 0 %s vorn:later 1\n" % (b"0" * 64))
        self.assertEqual(sign_release.verify_record(sign_release.sign_body(key, later_field), manifest, files,
                                                    self.public_key, 1000000000).release, 7)
        for what, changed, message in (
                ("no signing time", body.replace(time_line, b""), "says nothing of when it was signed"),
                ("two signing times", body.replace(time_line, time_line * 2), "refuse line 5"),
                ("a signing time that lies", body.replace(time_line, time_line.replace(b" valid", b" vali")),
                 "refuse line 4")):
            with self.assertRaisesRegex(sign_release.SignError, message, msg=what):
                sign_release.verify_record(sign_release.sign_body(key, changed), manifest, files, self.public_key,
                                           1000000000)
        with self.assertRaisesRegex(sign_release.SignError, "expired at 2001-09-11 01:46 UTC"):
            sign_release.verify_record(record, manifest, files, self.public_key, 1000000000 + 2 * 86400 + 1)
        refusals = {
            "another key": (record, manifest, files, self.other_public_key),
            "a changed signature": (record[:-3] + (b"0" if record[-3:-2] != b"0" else b"1") + record[-2:],
                                    manifest, files, self.public_key),
            "another manifest": (record, manifest + b"\r\n", files, self.public_key),
            "fewer files": (record, manifest, dict(list(files.items())[:1]), self.public_key),
        }
        for what, arguments in refusals.items():
            with self.assertRaises(sign_release.SignError, msg=what):
                sign_release.verify_record(*arguments, now=1000000000)
        pathlib.Path(files["1/Main.exe"]).write_bytes(b"MZ gamf")
        with self.assertRaisesRegex(sign_release.SignError, "1/Main.exe differs from the record"):
            sign_release.verify_record(record, manifest, files, self.public_key, 1000000000)

    def test_renewing_signs_the_live_release_again_and_nothing_else(self):
        self.release("--key", self.key, "--valid-days", "1")
        first = sign_release.Record(self.served("up.ini.sig"))
        self.assertEqual(first.valid_for, 86400)
        site = self.root / "site"
        before = snapshot(site)
        time.sleep(1.1)  # a signing time one second later at least
        refused = run("renew", self.live, "--key", self.key, "--public-key", self.other_public_key)
        self.assertEqual(refused.returncode, 1)
        self.assertEqual(snapshot(site), before, "a refused renewal changed the site")

        renewed = run("renew", self.live, "--key", self.key, "--valid-days", "30")
        self.assertEqual(renewed.returncode, 0, renewed.stderr.decode())
        record = sign_release.Record(self.served("up.ini.sig"))
        self.assertEqual((record.release, record.manifest, record.files), (1, first.manifest, first.files))
        self.assertGreater(record.signed_at, first.signed_at)
        self.assertEqual(record.valid_for, 30 * 86400)
        after = snapshot(site)
        self.assertNotEqual(after.pop("vorn.releases/1/up.ini.sig"), before.pop("vorn.releases/1/up.ini.sig"))
        self.assertEqual(after, before, "renewing changed more than the record")
        self.assertIn(sign_release.utc_time(record.expiry()), run("status", self.live).stdout.decode())

    def test_a_failed_publish_leaves_the_live_release_as_it_was(self):
        self.release("--key", self.key)
        site = self.root / "site"
        before = snapshot(site)
        self.write_client({"Main.exe": b"MZ game 2"})
        failures = {
            "a key other than the launchers'": ("--key", self.key, "--public-key", self.other_public_key),
            "no key on a signed site": (),
            "a release number that does not grow": ("--key", self.key, "--release", "1"),
        }
        for what, options in failures.items():
            result = run("release", self.client, self.live, "--exclude", "Data/Local/*", *options)
            self.assertEqual(result.returncode, 1, what)
            self.assertEqual(snapshot(site), before, what)
        (self.client / "CON.txt").write_bytes(b"a name Windows refuses")
        result = run("release", self.client, self.live, "--key", self.key)
        self.assertIn(b"refused CON.txt", result.stderr)
        self.assertEqual(snapshot(site), before)
        (self.client / "CON.txt").unlink()

        # A step that finds the release wrong (here the manifest's file changed after it was listed).
        def spoil(release):
            pathlib.Path(release.site_file("Main.exe")).write_bytes(b"MZ changed under the manifest")
        self.assert_refused_when_spoiled(spoil, "Main.exe does not match its CRC-32")

    def test_a_publish_that_fails_writing_or_is_killed_between_two_moves_leaves_the_live_release(self):
        self.release()
        site = self.root / "site"
        before = snapshot(site)
        self.write_client({"Data/music.bin": os.urandom(3 << 20)})
        # A write refused half-way (the file-size limit here, a full disk alike) ends the publish cleanly.
        failed = subprocess.run(["bash", "-c", 'ulimit -f 1024; exec "$@"', "publish"] + PUBLISH +
                                ["release", str(self.client), str(self.live)], capture_output=True, timeout=120)
        self.assertEqual(failed.returncode, 1)
        self.assertIn(b"File too large", failed.stderr)
        self.assertEqual(snapshot(site), before)

        # The process killed after the files are placed, and after the release is complete but not yet live.
        kill = "lambda *_: os.kill(os.getpid(), signal.SIGKILL)"
        for hook in ("publish.STEPS = publish.STEPS[:1] + (%s,)" % kill, "publish.Site.switch_to = %s" % kill):
            program = "import os, signal, sys; sys.path.insert(0, %r); import publish; %s; publish.main(%r)" % (
                str(TOOLS), hook, ["release", str(self.client), str(self.live)])
            killed = subprocess.run([sys.executable, "-c", program], capture_output=True, timeout=120)
            self.assertEqual(killed.returncode, -signal.SIGKILL, killed.stderr.decode())
            self.assertEqual(os.readlink(self.live), "vorn.releases/1")
            self.assertEqual(self.served("up.ini"), before["vorn.releases/1/up.ini"])
        self.release()
        self.assertEqual(os.readlink(self.live), "vorn.releases/3")
        self.assertEqual(self.served("3/Data/music.bin"), (self.client / "Data" / "music.bin").read_bytes())
        self.assertEqual([n for n in os.listdir(site / "vorn.releases") if n.startswith(".partial-")], [])


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ReaderOfTheSite:
    """Reads the site over HTTP the way a launcher does (the record, the manifest, every listed file and block
    index) until told to stop, and notes everything that does not fit together."""

    def __init__(self, port):
        self.port = port
        self.faults = []
        self.rounds = 0
        self.straddles = 0
        self.stopping = threading.Event()

    def get(self, connection, path):
        connection.request("GET", "/vorn/" + path)
        answer = connection.getresponse()
        return answer.status, answer.read()

    def read_release(self, connection):
        status, record = self.get(connection, "up.ini.sig")
        _, manifest = self.get(connection, "up.ini")
        if status != 200:
            return
        sections = sign_release.manifest_sections(manifest).get("up", {})
        files = {}
        for n, site_path in enumerate(sign_release.manifest_site_paths(manifest), start=1):
            status, body = self.get(connection, site_path)
            if status != 200 or "%08X" % zlib.crc32(body) != sections["xyz%d" % n]:
                self.faults.append("%s of the manifest just read: %d, CRC %08X" % (site_path, status,
                                                                                 zlib.crc32(body)))
            files[site_path] = body
        for key, value in sign_release.manifest_sections(manifest).get("blocks", {}).items():
            size, digest, site_path = value.split(" ")
            status, body = self.get(connection, site_path)
            if (status, len(body), hashlib.sha256(body).hexdigest()) != (200, int(size), digest):
                self.faults.append("block index %s of the manifest just read: %d" % (key, status))
        signed = record.split(b"\nmanifest ", 1)[1].split(b"\n", 1)[0].decode()
        if signed != "%d %s" % (len(manifest), hashlib.sha256(manifest).hexdigest()):
            # The record and the manifest came from two releases, one on each side of a switch; asked again, the
            # pair fits.
            self.straddles += 1
            return
        for site_path, body in files.items():
            if ("file %d %s %s" % (len(body), hashlib.sha256(body).hexdigest(), site_path)).encode() not in record:
                self.faults.append("%s does not match the record read with its manifest" % site_path)
        self.rounds += 1

    def run(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            while not self.stopping.is_set():
                self.read_release(connection)
        except Exception as error:  # noqa: BLE001 - any failure is a fault the test reports
            self.faults.append(repr(error))
        finally:
            connection.close()


class UploadTest(unittest.TestCase):
    def test_a_site_read_while_releases_are_published_and_uploaded_always_serves_whole_releases(self):
        folder = tempfile.TemporaryDirectory(prefix="vorn-upload-test-")
        self.addCleanup(folder.cleanup)
        root = pathlib.Path(folder.name)
        key = root / "key.pem"
        sign_release.keygen(str(key))
        client, live, server = root / "client", root / "site" / "vorn", root / "server"
        server.mkdir()
        (client / "Data").mkdir(parents=True)

        def release(number):
            # Every release changes every file, at sizes that take nginx more than one write, and one file large
            # enough for a block index.
            for index in range(4):
                (client / "Data" / ("part%d.bin" % index)).write_bytes(bytes([number, index]) * (60000 + number))
            (client / "Data" / "big.pak").write_bytes(bytes([number]) * (1 << 20))
            (client / "Main.exe").write_bytes(b"MZ release %d" % number)
            # Three kept releases: a reader's round that began before one switch may end after the next.
            result = run("release", client, live, "--key", key, "--keep", "3", "--upload", server)
            self.assertEqual(result.returncode, 0, result.stderr.decode())

        release(1)
        port = free_port()
        ready = root / "ready"
        nginx = subprocess.Popen([sys.executable, str(TOOLS / "nginx_site.py"), str(server), "--prefix",
                                  str(root / "nginx"), "--http", str(port), "--ready-file", str(ready),
                                  "--lifetime", "120"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (nginx.terminate(), nginx.wait(20)))
        deadline = time.monotonic() + 20
        while not ready.exists() and nginx.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(ready.exists(), "nginx did not start")

        reader = ReaderOfTheSite(port)
        thread = threading.Thread(target=reader.run)
        thread.start()
        try:
            for number in range(2, 8):
                release(number)
        finally:
            reader.stopping.set()
            thread.join(30)
        self.assertEqual(reader.faults, [])
        self.assertGreater(reader.rounds, 5, "the reader hardly read the site while it changed")
        print("%d whole releases read, %d record and manifest pairs straddled a switch"
              % (reader.rounds, reader.straddles))


if __name__ == "__main__":
    unittest.main()
