#!/usr/bin/env python3
"""Builds the signed update sites the signature tests check against: real keys and records made by the signing
tool, and a check that the tool refuses a release number that does not grow.

Usage: build_signed_sites.py MAKE_MANIFEST SIGN_RELEASE OUTPUT_DIR

OUTPUT_DIR/public-key.txt        the public key of key.pem, as the launcher's setting takes it
OUTPUT_DIR/signed                three files, up.ini and up.ini.sig of release 7, signed by the manifest generator
OUTPUT_DIR/other-key             the same folder signed as release 7 by another key (other-key.pem)
OUTPUT_DIR/many                  a client of 20,000 small files signed as release 1: a manifest of about 3.2 MB
                                 and a record of about 2.6 MB, as large as a full client's
OUTPUT_DIR/next                  release 8: the same files but a new Main.exe
OUTPUT_DIR/expired               release 7 signed on 2001-09-09 for one day
OUTPUT_DIR/no-time               release 7 in a record that does not say when it was signed, as older tools made
"""
import importlib
import pathlib
import shutil
import subprocess
import sys

FILES = {
    "Data/Local/a b.txt": b"spaces travel percent-encoded\r\n",
    "Data/\u5730\u56fe/lorencia.map": bytes((i * 131 + 2) & 0xFF for i in range(70000)),
    "Main.exe": b"MZ the game client" + bytes((i * 7 + 4) & 0xFF for i in range(9000)),
}
RELEASE = 7
# Paths as long as a real client's (about sixty characters): the manifest takes some 160 bytes an entry.
MANY_FILES = 20000
MANY_PATH = "Data/Terrain/World%02d/Objects/Scenery_Model_Variant_%05d.bmd"
NEXT_MAIN = b"MZ the next game client" + bytes((i * 11 + 5) & 0xFF for i in range(9100))


def run(*command, expect=0):
    finished = subprocess.run([sys.executable, *map(str, command)], capture_output=True, text=True)
    if finished.returncode != expect:
        sys.exit("%s: exit status %d, expected %d\n%s%s" % (" ".join(map(str, command)), finished.returncode,
                                                             expect, finished.stdout, finished.stderr))
    return finished.stdout


def record_without_time(signer, key, folder):
    """The folder's record without its signing time, signed again: what the tool wrote before it had one."""
    sys.path.insert(0, str(pathlib.Path(signer).parent))
    tool = importlib.import_module(pathlib.Path(signer).stem)
    lines = (folder / "up.ini.sig").read_bytes().splitlines(keepends=True)
    body = b"".join(line for line in lines if b" vorn:signed " not in line and not line.startswith(b"signature "))
    return tool.sign_body(tool.load_private_key(key), body)


def main():
    generator, signer, output = sys.argv[1], sys.argv[2], pathlib.Path(sys.argv[3])
    shutil.rmtree(output, ignore_errors=True)
    output.mkdir(parents=True)
    public_key = run(signer, "keygen", output / "key.pem").strip()
    (output / "public-key.txt").write_text(public_key + "\n")
    run(signer, "keygen", output / "other-key.pem")

    signed = output / "signed"
    for name, data in FILES.items():
        path = signed / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    run(generator, signed, "--sign-key", output / "key.pem", "--release", RELEASE)
    other = output / "other-key"
    shutil.copytree(signed, other)
    run(signer, "sign", other, "--key", output / "other-key.pem", "--release", RELEASE, "--force")

    many = output / "many"
    for n in range(MANY_FILES):
        path = many / (MANY_PATH % (n % 20, n))
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(b"model %d\n" % n)
    run(generator, many, "--sign-key", output / "key.pem", "--release", 1)

    following = output / "next"
    shutil.copytree(signed, following)
    (following / "Main.exe").write_bytes(NEXT_MAIN)
    run(generator, following, "--sign-key", output / "key.pem", "--release", RELEASE + 1)
    expired = output / "expired"
    shutil.copytree(signed, expired)
    run(signer, "sign", expired, "--key", output / "key.pem", "--release", RELEASE, "--force",
        "--signed-at", 1000000000, "--valid-days", 1)
    no_time = output / "no-time"
    shutil.copytree(signed, no_time)
    (no_time / "up.ini.sig").write_bytes(record_without_time(signer, output / "key.pem", no_time))

    # The tools refuse to sign a release that does not grow, and leave the record as it was; the same release is
    # signed again (renewed) only for the manifest it signs.
    record = (signed / "up.ini.sig").read_bytes()
    run(signer, "sign", signed, "--key", output / "key.pem", "--release", RELEASE - 1, expect=1)
    run(generator, signed, "--sign-key", output / "key.pem", "--release", RELEASE - 1, expect=1)
    if (signed / "up.ini.sig").read_bytes() != record:
        sys.exit("a refused signing changed the record")
    scratch = output / "scratch"
    shutil.copytree(signed, scratch)
    run(signer, "sign", scratch, "--key", output / "key.pem", "--release", RELEASE, "--signed-at", 2000000000)
    if b" vorn:signed 2000000000 valid 2592000\n" not in (scratch / "up.ini.sig").read_bytes():
        sys.exit("the renewed record does not carry its new signing time")
    with open(scratch / "up.ini", "ab") as manifest:
        manifest.write(b"\r\n")
    run(signer, "sign", scratch, "--key", output / "key.pem", "--release", RELEASE, expect=1)
    shutil.rmtree(scratch)
    print("signed update sites ready in", output)


if __name__ == "__main__":
    main()
