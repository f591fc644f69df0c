#!/usr/bin/env python3
"""Builds the signed update sites the signature tests check against: real keys and records made by the signing
tool, and a check that the tool refuses a release number that does not grow.

Usage: build_signed_sites.py MAKE_MANIFEST SIGN_RELEASE OUTPUT_DIR

OUTPUT_DIR/public-key.txt        the public key of key.pem, as the launcher's setting takes it
OUTPUT_DIR/signed                three files, up.ini and up.ini.sig of release 7, signed by the manifest generator
OUTPUT_DIR/other-key             the same folder signed as release 7 by another key (other-key.pem)
OUTPUT_DIR/many                  a client of 20,000 small files signed as release 1: a manifest of about 3.2 MB
                                 and a record of about 2.6 MB, as large as a full client's
"""
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


def run(*command, expect=0):
    finished = subprocess.run([sys.executable, *map(str, command)], capture_output=True, text=True)
    if finished.returncode != expect:
        sys.exit("%s: exit status %d, expected %d\n%s%s" % (" ".join(map(str, command)), finished.returncode,
                                                             expect, finished.stdout, finished.stderr))
    return finished.stdout


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

    # The tools refuse to sign a release that does not grow, and leave the record as it was.
    record = (signed / "up.ini.sig").read_bytes()
    run(signer, "sign", signed, "--key", output / "key.pem", "--release", RELEASE, expect=1)
    run(generator, signed, "--sign-key", output / "key.pem", "--release", RELEASE - 1, expect=1)
    if (signed / "up.ini.sig").read_bytes() != record:
        sys.exit("a refused signing changed the record")
    print("signed update sites ready in", output)


if __name__ == "__main__":
    main()
