#!/usr/bin/env python3
"""Makes throwaway certificates for HTTPS tests and the demo with openssl, into a folder of their own:

  ca.pem                        a test certificate authority (to be trusted inside a throwaway Wine prefix only)
  server.pem, server.key        a server certificate for 127.0.0.1 and localhost, signed by that authority
  otherhost.pem                 a certificate for another host name (updates.invalid), signed by the same
                                authority, with the same key
  untrusted-ca.pem              a second authority that nobody trusts
  untrusted.pem                 a certificate for 127.0.0.1 and localhost signed by the second authority, with
                                the same key

The private keys of the authorities are thrown away once they signed. Never add these authorities to the
machine's own certificate store.

Usage: test_certificates.py FOLDER"""
import pathlib
import subprocess
import sys
import tempfile

# Short-lived on purpose: a folder left behind by a crashed run is useless soon after.
VALID_DAYS = "2"
SERVER_HOSTS = ("127.0.0.1", "localhost")


def openssl(*arguments, cwd):
    result = subprocess.run(["openssl", *arguments], cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True,
                            timeout=60)
    if result.returncode != 0:
        raise SystemExit("test_certificates.py: openssl %s failed:\n%s"
                         % (arguments[0], result.stderr.decode("utf-8", "replace")))


def make_authority(folder, name, common_name, days=VALID_DAYS):
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".pem",
            "-days", str(days), "-subj", "/CN=" + common_name,
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)


def alt_names(hosts):
    """subjectAltName entries for host names and addresses; an address goes in as a name too, which is what
    Wine's host-name check compares (it reads only the name entries)."""
    entries = []
    for host in hosts:
        if all(part.isdigit() for part in host.split(".")) or ":" in host:
            entries.append("IP:" + host)
        entries.append("DNS:" + host)
    return ",".join(entries)


def make_request(folder, name, common_name):
    """A new key NAME.key and its certificate request NAME.csr."""
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
            "-subj", "/CN=" + common_name, cwd=folder)


def sign(folder, authority, out, alt_names, request="server", days=VALID_DAYS):
    (folder / (out + ".ext")).write_text(
        "basicConstraints=critical,CA:FALSE\n"
        "keyUsage=critical,digitalSignature,keyEncipherment\n"
        "extendedKeyUsage=serverAuth\n"
        "subjectAltName=" + alt_names + "\n")
    openssl("x509", "-req", "-in", request + ".csr", "-CA", authority + ".pem", "-CAkey", authority + ".key",
            "-CAcreateserial", "-out", out + ".pem", "-days", str(days), "-extfile", out + ".ext", cwd=folder)


def make(folder):
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="vorn-ca-") as work:
        work = pathlib.Path(work)
        make_authority(work, "ca", "Vorn throwaway test authority")
        make_authority(work, "untrusted-ca", "Vorn untrusted test authority")
        make_request(work, "server", "127.0.0.1")
        sign(work, "ca", "server", alt_names(SERVER_HOSTS))
        sign(work, "ca", "otherhost", alt_names(["updates.invalid"]))
        sign(work, "untrusted-ca", "untrusted", alt_names(SERVER_HOSTS))
        for name in ("ca.pem", "untrusted-ca.pem", "server.pem", "server.key", "otherhost.pem", "untrusted.pem"):
            (folder / name).write_bytes((work / name).read_bytes())
    (folder / "server.key").chmod(0o600)
    return folder


def main():
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    print(make(sys.argv[1]))


if __name__ == "__main__":
    main()
