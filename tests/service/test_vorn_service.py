#!/usr/bin/env python3
"""The reference directory and authorisation service, run as a process and spoken to over loopback."""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SERVICE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "vorn_service.py")


class RunningService:
    """The service started with a lifeline: it reports its ports there and stops when the lifeline closes."""

    def __init__(self, *arguments, regions=None):
        self.folder = tempfile.TemporaryDirectory()
        self.log_path = os.path.join(self.folder.name, "service.log")
        command = [sys.executable, SERVICE, "--directory-port", "0", "--log", self.log_path]
        if regions is not None:
            path = os.path.join(self.folder.name, "regions.tsv")
            with open(path, "w", encoding="utf-8") as out:
                out.write(regions)
            command += ["--regions", path]
        listener = socket.create_server(("127.0.0.1", 0))
        listener.settimeout(10)
        command += ["--lifeline", str(listener.getsockname()[1])] + list(arguments)
        self.process = subprocess.Popen(command, stderr=subprocess.DEVNULL)
        try:
            self.lifeline, _ = listener.accept()
        finally:
            listener.close()
        self.lifeline.settimeout(10)
        ready = self.lifeline.makefile("rb").readline().decode().split()
        assert ready[0] == "READY", ready
        self.directory_port = int(ready[1])
        self.auth_ports = [int(p) for p in ready[2:]]

    def stop(self):
        """Closes the lifeline and gives the exit code; safe to call again."""
        self.lifeline.close()
        return self.process.wait(10)

    def log(self):
        with open(self.log_path, encoding="utf-8") as source:
            return source.read()

    def log_with(self, text):
        """The log once it holds `text`: connections are handled on threads of their own, so a line about a
        connection may land after the test's next exchange has finished."""
        deadline = time.monotonic() + 5
        while text not in (log := self.log()) and time.monotonic() < deadline:
            time.sleep(0.05)
        return log


def exchange(port, request):
    """Sends one request line and reads the whole reply (the service closes after it)."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as connection:
        connection.sendall(request + b"\n")
        reply = b""
        while chunk := connection.recv(4096):
            reply += chunk
    return reply.decode("utf-8").split("\n")[:-1]


def auth_line(code, client_id="CLIENT-ABC", hardware_id="hw-1", serial="7395104826153049"):
    return "\t".join(["AUTH", "2.62.81", "13.8", serial, client_id, hardware_id, code]).encode("utf-8")


REGIONS = "# comment\n1\tRealm 1\t{host}\t{auth0}\tpvp\n\n2\t岚谷\t10.0.0.9\t7002\n"


class ServiceTest(unittest.TestCase):
    def start(self, *arguments, regions=None):
        service = RunningService(*arguments, regions=regions)
        self.addCleanup(service.folder.cleanup)
        self.addCleanup(service.stop)
        return service

    def test_list_and_launch_exchange(self):
        service = self.start("--auth-port", "0", "--connect-host", "game.example", "--connect-port", "6500",
                                 regions=REGIONS)
        auth = service.auth_ports[0]
        self.assertEqual(exchange(service.directory_port, b"LIST"), [
            "OK LIST 2",
            f"REGION\t1\tRealm 1\t127.0.0.1\t{auth}\tpvp",
            "REGION\t2\t岚谷\t10.0.0.9\t7002\t",
            "END"])
        captcha = exchange(auth, b"CAPTCHA\r")
        self.assertEqual(len(captcha), 1)
        head, code = captcha[0].split("\t")
        self.assertEqual(head, "OK CAPTCHA")
        self.assertEqual(len(code), 16)
        self.assertEqual(exchange(auth, auth_line(code)), ["OK AUTH\tgame.example\t6500"])
        self.assertEqual(exchange(auth, auth_line("WRONGWRONGWRONG1")), ["ERR CAPTCHA"])
        self.assertEqual(exchange(auth, auth_line(code, client_id="")), ["ERR CLIENT_ID"])
        self.assertEqual(exchange(auth, auth_line(code, serial="short")), ["ERR CLIENT_VERSION"])
        self.assertEqual(exchange(auth, b"AUTH\tonly\tthree"), ["ERR AUTH_FORMAT"])
        # Each listener answers only its own commands.
        self.assertEqual(exchange(auth, b"LIST"), ["ERR UNKNOWN_COMMAND"])
        self.assertEqual(exchange(service.directory_port, b"CAPTCHA"), ["ERR UNKNOWN_COMMAND"])
        log = service.log()
        self.assertIn("directory 127.0.0.1:", log)
        self.assertIn("b'LIST' -> 'OK LIST 2' (+3 lines)", log)
        self.assertIn("b'CAPTCHA\\r' -> 'OK CAPTCHA\\t", log)
        self.assertEqual(service.stop(), 0)

    def test_configured_answers(self):
        fixed = self.start("--no-directory", "--auth-port", "0", "--auth-port", "0",
                               "--captcha", "ABCDEFGHIJKLMNOP", "--client-version", "2.62.81")
        first, second = fixed.auth_ports
        self.assertEqual(fixed.directory_port, 0)
        self.assertEqual(exchange(second, b"CAPTCHA"), ["OK CAPTCHA\tABCDEFGHIJKLMNOP"])
        self.assertEqual(exchange(first, auth_line("ABCDEFGHIJKLMNOP")), ["OK AUTH\t127.0.0.1\t55960"])
        self.assertEqual(exchange(first, auth_line("ABCDEFGHIJKLMNOP").replace(b"2.62.81", b"2.62.80")),
                         ["ERR CLIENT_VERSION"])
        self.assertEqual(fixed.stop(), 0)

        without = self.start("--auth-port", "0", "--captcha", "none")
        self.assertEqual(exchange(without.auth_ports[0], b"CAPTCHA"), ["ERR CAPTCHA_DISABLED"])
        self.assertEqual(exchange(without.auth_ports[0], auth_line("")), ["OK AUTH\t127.0.0.1\t55960"])
        self.assertEqual(exchange(without.directory_port, b"LIST"), ["OK LIST 0", "END"])
        self.assertEqual(without.stop(), 0)

        for arguments, expected in ((["--refuse", "BLOCKED "], "ERR BLOCKED "),
                                    (["--auth-reply", "OK AUTH\tonly-host"], "OK AUTH\tonly-host"),
                                    (["--auth-reply-escaped", "OK AUTH\\ta\\x00b\\u202e\\t7"],
                                     "OK AUTH\ta\x00b\u202e\t7")):
            refusing = self.start("--auth-port", "0", *arguments)
            self.assertEqual(exchange(refusing.auth_ports[0], auth_line("x")), [expected])
            self.assertEqual(refusing.stop(), 0)

    def test_survives_bad_input(self):
        service = self.start("--auth-port", "0", regions=REGIONS)
        auth = service.auth_ports[0]
        self.assertEqual(exchange(auth, b"\xff\xfe\x00garbage"), ["ERR UNKNOWN_COMMAND"])
        self.assertEqual(exchange(auth, b"AUTH\t\xff\t\t\t\t\t"), ["ERR AUTH_FORMAT"])
        self.assertEqual(exchange(auth, b"x" * 9000), ["ERR REQUEST_TOO_LONG"])
        with socket.create_connection(("127.0.0.1", auth), timeout=10) as connection:
            connection.sendall(b"CAPT")  # closes without a line feed
        with socket.create_connection(("127.0.0.1", auth), timeout=10):
            pass
        self.assertEqual(exchange(service.directory_port, b"LIST")[0], "OK LIST 2")
        log = service.log_with("closed before a line feed after b'CAPT'")
        self.assertIn("closed before a line feed after b'CAPT'", log)
        self.assertIn("request too long", log)
        self.assertEqual(service.stop(), 0)

    def test_stops_on_signals_and_rejects_bad_configuration(self):
        for signal_number in (signal.SIGTERM, signal.SIGINT):
            service = self.start("--auth-port", "0")
            service.process.send_signal(signal_number)
            self.assertEqual(service.process.wait(10), 0)
            self.assertIn("stopping", service.log())
            service.stop()

        with tempfile.TemporaryDirectory() as folder:
            regions = os.path.join(folder, "regions.tsv")
            for content in ("1\tRealm\thost\n", "1\tRealm\thost\t70000\n", "1\tRealm\thost\t{auth3}\n"):
                with open(regions, "w", encoding="utf-8") as out:
                    out.write(content)
                result = subprocess.run([sys.executable, SERVICE, "--directory-port", "0", "--regions", regions],
                                        capture_output=True, text=True, timeout=10)
                self.assertEqual(result.returncode, 2, content)
                self.assertIn("vorn_service:", result.stderr)

            # A harness waiting on the lifeline hears why instead of waiting for a READY that never comes.
            with socket.create_server(("127.0.0.1", 0)) as listener:
                listener.settimeout(10)
                process = subprocess.Popen([sys.executable, SERVICE, "--regions", regions, "--lifeline",
                                            str(listener.getsockname()[1])], stderr=subprocess.DEVNULL)
                connection, _ = listener.accept()
                with connection:
                    connection.settimeout(10)
                    self.assertTrue(connection.makefile("rb").readline().startswith(b"FAILED region 1:"))
                self.assertEqual(process.wait(10), 2)


if __name__ == "__main__":
    unittest.main()
