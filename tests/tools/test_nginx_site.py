#!/usr/bin/env python3
"""nginx serving a folder through tools/nginx_site.py, with the certificates of tools/test_certificates.py,
spoken to over loopback by Python's own HTTP and TLS clients."""
import http.client
import os
import pathlib
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

TOOLS = pathlib.Path(__file__).resolve().parents[2] / "tools"
sys.path.insert(0, str(TOOLS))
import test_certificates  # noqa: E402


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class NginxSiteTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory(prefix="vorn-nginx-test-")
        root = pathlib.Path(cls.folder.name)
        cls.certificates = test_certificates.make(root / "certificates")
        cls.site = root / "site"
        (cls.site / "updates").mkdir(parents=True)
        (cls.site / "updates" / "up.ini").write_bytes(b"[Files]\n")

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def start(self, *options):
        """The tool with `options`; returns it once nginx listens. It is stopped after the test."""
        prefix = pathlib.Path(tempfile.mkdtemp(dir=self.folder.name))
        ready = prefix / "ready"
        process = subprocess.Popen([sys.executable, str(TOOLS / "nginx_site.py"), str(self.site), "--prefix",
                                    str(prefix / "nginx"), "--ready-file", str(ready), "--lifetime", "60",
                                    *options], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(self.stop, process)
        deadline = time.monotonic() + 20
        while not ready.exists() and process.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(ready.exists(), process.stderr.read().decode() if process.poll() is not None else "")
        process.nginx_pid = int(ready.read_text())
        process.access_log = prefix / "nginx" / "access.log"
        return process

    def stop(self, process):
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            process.wait(20)
        process.stderr.close()

    def tls(self):
        return ssl.create_default_context(cafile=str(self.certificates / "ca.pem"))

    def test_serves_over_http_and_https_and_redirects_chosen_paths_to_http(self):
        http_port, https_port = free_port(), free_port()
        process = self.start("--http", str(http_port), "--https", str(https_port), "--cert",
                             str(self.certificates / "server.pem"), "--key", str(self.certificates / "server.key"),
                             "--redirect-to-http", "/updates/up.ini")
        plain = http.client.HTTPConnection("127.0.0.1", http_port, timeout=10)
        self.addCleanup(plain.close)
        plain.request("GET", "/updates/up.ini")
        answer = plain.getresponse()
        self.assertEqual((answer.status, answer.read()), (200, b"[Files]\n"))
        plain.request("GET", "/up.ini/../../etc/passwd")
        self.assertIn(plain.getresponse().status, (400, 404))

        secure = http.client.HTTPSConnection("127.0.0.1", https_port, timeout=10, context=self.tls())
        self.addCleanup(secure.close)
        secure.request("GET", "/updates/up.ini")
        answer = secure.getresponse()
        answer.read()
        self.assertEqual(answer.status, 302)
        self.assertEqual(answer.getheader("Location"), "http://127.0.0.1:%d/updates/up.ini" % http_port)
        secure.request("GET", "/updates/missing")
        self.assertEqual(secure.getresponse().status, 404)

        self.stop(process)
        log = process.access_log.read_text().splitlines()
        self.assertIn('%d 302 "GET /updates/up.ini HTTP/1.1"' % https_port, log)
        with self.assertRaises(ProcessLookupError):
            os.kill(process.nginx_pid, 0)

    def test_certificates_refused_for_an_untrusted_authority_and_another_host(self):
        port = free_port()
        for certificate, fault in (("untrusted.pem", "unable to get local issuer"),
                                   ("otherhost.pem", "match")):
            process = self.start("--https", str(port), "--cert", str(self.certificates / certificate),
                                 "--key", str(self.certificates / "server.key"))
            connection = http.client.HTTPSConnection("127.0.0.1", port, timeout=10, context=self.tls())
            with self.assertRaisesRegex(ssl.SSLCertVerificationError, fault):
                connection.request("GET", "/updates/up.ini")
            connection.close()
            self.stop(process)

    def test_speaks_only_the_tls_versions_it_is_given(self):
        port = free_port()
        self.start("--https", str(port), "--cert", str(self.certificates / "server.pem"), "--key",
                   str(self.certificates / "server.key"), "--tls", "TLSv1")
        current = self.tls()
        with self.assertRaises(ssl.SSLError):
            with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
                current.wrap_socket(raw, server_hostname="127.0.0.1").close()
        old = self.tls()
        old.minimum_version = ssl.TLSVersion.TLSv1
        old.set_ciphers("DEFAULT@SECLEVEL=0")
        with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
            with old.wrap_socket(raw, server_hostname="127.0.0.1") as secure:
                self.assertEqual(secure.version(), "TLSv1")

    def test_a_trial_authority_vouches_for_the_site_host_only_and_keeps_what_it_made(self):
        folder = pathlib.Path(self.folder.name) / "trial-ca"
        made = subprocess.run([sys.executable, str(TOOLS / "trial_authority.py"), str(folder),
                               "updates.example.com"], capture_output=True, timeout=60)
        self.assertEqual(made.returncode, 0, made.stderr.decode())
        self.assertEqual((folder / "site.key").stat().st_mode & 0o777, 0o600)
        port = free_port()
        self.start("--https", str(port), "--cert", str(folder / "site.pem"), "--key", str(folder / "site.key"))
        trusting = ssl.create_default_context(cafile=str(folder / "ca.pem"))
        for host, fault in (("updates.example.com", None), ("www.example.com", "match")):
            raw = socket.create_connection(("127.0.0.1", port), timeout=10)
            if fault:
                with self.assertRaisesRegex(ssl.SSLCertVerificationError, fault):
                    trusting.wrap_socket(raw, server_hostname=host)
                raw.close()
                continue
            with trusting.wrap_socket(raw, server_hostname=host) as secure:
                secure.sendall(b"GET /updates/up.ini HTTP/1.0\r\nHost: %s\r\n\r\n" % host.encode())
                self.assertTrue(secure.recv(64).startswith(b"HTTP/1.1 200"))
        before = (folder / "ca.pem").read_bytes()
        again = subprocess.run([sys.executable, str(TOOLS / "trial_authority.py"), str(folder), "other.example"],
                               capture_output=True, timeout=60)
        self.assertNotEqual(again.returncode, 0)
        self.assertEqual((folder / "ca.pem").read_bytes(), before, "a trusted authority was replaced")

    def test_refuses_a_taken_port_naming_its_holder_and_an_unsafe_folder(self):
        with socket.create_server(("127.0.0.1", 0)) as holder:
            result = subprocess.run([sys.executable, str(TOOLS / "nginx_site.py"), str(self.site), "--prefix",
                                     str(pathlib.Path(self.folder.name) / "taken"), "--http",
                                     str(holder.getsockname()[1])], capture_output=True, timeout=30)
        self.assertNotEqual(result.returncode, 0)
        # The message names the holder (this test) and stops nothing.
        self.assertIn(b"is taken by python", result.stderr)
        self.assertIn(b"(pid %d" % os.getpid(), result.stderr)

        unsafe = pathlib.Path(self.folder.name) / "a;b"
        unsafe.mkdir()
        result = subprocess.run([sys.executable, str(TOOLS / "nginx_site.py"), str(unsafe), "--prefix",
                                 str(pathlib.Path(self.folder.name) / "unsafe"), "--http", str(free_port())],
                                capture_output=True, timeout=30)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(b"cannot be given safely", result.stderr)

    def test_stops_nginx_when_the_tool_is_killed(self):
        process = self.start("--http", str(free_port()))
        process.kill()
        process.wait(10)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                os.kill(process.nginx_pid, 0)
            except ProcessLookupError:
                return
            time.sleep(0.1)
        self.fail("nginx outlived the tool that started it")


if __name__ == "__main__":
    unittest.main()
