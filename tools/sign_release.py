#!/usr/bin/env python3
"""Signs a published update folder, so a launcher built with the matching public key installs only what the
operator released.

Usage:
  sign_release.py keygen PRIVATE_KEY.pem
  sign_release.py public-key PRIVATE_KEY.pem
  sign_release.py sign FOLDER --key PRIVATE_KEY.pem --release N [--manifest up.ini] [--force]
                  [--valid-days DAYS] [--signed-at SECONDS]

keygen makes an ECDSA P-256 key pair: the private key is written to PRIVATE_KEY.pem (readable by its owner only;
an existing file is never overwritten) and the public key is printed as 130 hexadecimal digits (the uncompressed
point 04 || X || Y), the value of the launcher's VORN_UPDATE_PUBLIC_KEY setting. public-key prints it again.

sign writes the release record FOLDER/<manifest>.sig (up.ini.sig) beside the manifest. It binds the exact bytes
of the manifest, the size and SHA-256 of every file the manifest lists (found in FOLDER under its site path) and
a release number, which must be larger than the one of the record already in FOLDER (--force allows any number,
for example after starting a new site). Sign after the last file of the release is in place, and publish the
record together with the manifest.

The record also carries when it was signed and how long launchers accept it: --valid-days (default 30) days from
the signing time, which is now unless --signed-at gives it (seconds since 1970-01-01 UTC, for tests). After that
launchers refuse it until it is signed again, so a site that someone else serves cannot hold players on an old
release for longer. To renew the signature of the release that is published, sign the folder again with the same
release number: that is allowed while the manifest is the one the record already signs.

The record (UTF-8, every line ending in a line feed, fields separated by one space):
  vorn-release-record 1
  release <number, 1 to 9223372036854775807>
  manifest <size> <sha256>
  file 0 <64 zeros> vorn:signed <seconds since 1970-01-01 UTC> valid <seconds>
  file <size> <sha256> <site path>          one line per distinct site path, in manifest order
  signature <r || s, 128 hexadecimal digits>
The site path is the manifest's File<n> value with forward slashes and without a leading separator; numbers are
decimal without leading zeros, digests lower-case hexadecimal. The signature is ECDSA P-256 over SHA-256 of every
byte before the "signature" line. The signing time rides in a "file" line whose site path ("vorn:...") no manifest
can list, so launchers built before it existed accept the record and take that line for a file nobody asks for.
"""
import argparse
import hashlib
import os
import re
import sys
import time

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature, encode_dss_signature

from atomic_file import write_atomically

FORMAT_LINE = "vorn-release-record 1"
MAX_RELEASE = (1 << 63) - 1
# The launcher's caps (update/release_record.cpp): more files than a manifest may list, or a longer site path,
# would give a record it refuses.
MAX_FILES = 100000
MAX_SITE_PATH_BYTES = 2048
MAX_RECORD_BYTES = 16 << 20
DEFAULT_VALID_DAYS = 30
DAY = 86400
MAX_NUMBER = (1 << 63) - 1  # the largest number a launcher reads in a record


class SignError(Exception):
    pass


def load_private_key(path):
    with open(path, "rb") as stream:
        key = serialization.load_pem_private_key(stream.read(), password=None)
    if not isinstance(key, ec.EllipticCurvePrivateKey) or key.curve.name != "secp256r1":
        raise SignError("%s is not an ECDSA P-256 private key" % path)
    return key


def public_key_hex(private_key):
    point = private_key.public_key().public_bytes(serialization.Encoding.X962,
                                                  serialization.PublicFormat.UncompressedPoint)
    return point.hex()


def decode_manifest(data):
    """The manifest's text, decoded as the launcher reads it: UTF-16 or UTF-8 by their byte order marks, else the
    player's ANSI code page, which only ASCII text reads the same in everywhere."""
    if data.startswith(b"\xff\xfe"):
        return data[2:].decode("utf-16-le")
    if data.startswith(b"\xfe\xff"):
        return data[2:].decode("utf-16-be")
    if data.startswith(b"\xef\xbb\xbf"):
        return data[3:].decode("utf-8")
    if not data.isascii():
        raise SignError("the manifest is not ASCII and has no byte order mark: launchers read such text in each "
                        "player's ANSI code page, so the paths it names depend on the player's system; write it "
                        "with a byte order mark (make_manifest.py does)")
    return data.decode("ascii")


def manifest_sections(data):
    """The manifest's sections as the launcher reads them: {section: {key: value}} with lower-case names; first
    section and first key of a name win, one pair of equal enclosing quotes is dropped."""
    sections = {}
    current = None
    for raw in re.split(r"\r\n|\r|\n", decode_manifest(data)):
        line = raw.strip(" \t\x1a")
        if line.startswith("[") and "]" in line:
            name = line[1:line.rindex("]")].strip().lower()
            current = None if name in sections else sections.setdefault(name, {})
        elif current is not None and "=" in line:
            key, value = line.split("=", 1)
            value = value.strip()
            if len(value) >= 2 and value[0] in "'\"" and value[-1] == value[0]:
                value = value[1:-1]
            current.setdefault(key.strip().lower(), value)
    return sections


def manifest_site_paths(data):
    """The File<n> values for n = 1..Count with forward slashes and no leading separator, as the record lists
    them."""
    sections = manifest_sections(data)
    try:
        count = int(sections.get("set", {}).get("count", ""))
    except ValueError:
        raise SignError("the manifest has no valid [Set] Count")
    if not 0 <= count <= MAX_FILES:
        raise SignError("the manifest lists %d files; the launcher accepts at most %d" % (count, MAX_FILES))
    paths = []
    for n in range(1, count + 1):
        value = sections.get("up", {}).get("file%d" % n, "")
        path = value.replace("\\", "/")
        if path.startswith("/"):
            path = path[1:]
        if not path:
            raise SignError("manifest entry %d has no site path" % n)
        paths.append(path)
    return paths


def check_site_path(path):
    if any(ord(ch) < 0x20 or ord(ch) == 0x7F for ch in path):
        raise SignError("site path %r contains a control character" % path)
    if len(path.encode("utf-8")) > MAX_SITE_PATH_BYTES:
        raise SignError("site path %r is longer than %d bytes" % (path, MAX_SITE_PATH_BYTES))


def file_digest(path):
    digest = hashlib.sha256()
    size = 0
    with open(path, "rb") as stream:
        while True:
            block = stream.read(1 << 20)
            if not block:
                return size, digest.hexdigest()
            size += len(block)
            digest.update(block)


def freshness_line(signed_at, valid_days):
    """The record's line that says when it was signed and for how many seconds launchers accept it."""
    if not 0 <= signed_at <= MAX_NUMBER:
        raise SignError("the signing time must be between 0 and %d seconds since 1970" % MAX_NUMBER)
    if not 1 <= valid_days <= MAX_NUMBER // DAY:
        raise SignError("the validity must be between 1 and %d days" % (MAX_NUMBER // DAY))
    return "file 0 %s vorn:signed %d valid %d" % ("0" * 64, signed_at, valid_days * DAY)


def build_record(private_key, manifest_bytes, files, release, signed_at=None, valid_days=DEFAULT_VALID_DAYS):
    """The record's bytes. `files` maps each site path (as manifest_site_paths gives it) to the file to hash, in
    manifest order; a path listed twice is hashed once. `signed_at` (seconds since 1970-01-01 UTC) is now unless
    given; launchers accept the record for `valid_days` days from then."""
    if not 1 <= release <= MAX_RELEASE:
        raise SignError("the release number must be between 1 and %d" % MAX_RELEASE)
    if len(files) >= MAX_FILES:
        raise SignError("the manifest lists %d distinct site paths; a record holds at most %d beside its signing "
                        "time" % (len(files), MAX_FILES - 1))
    lines = [FORMAT_LINE, "release %d" % release,
             "manifest %d %s" % (len(manifest_bytes), hashlib.sha256(manifest_bytes).hexdigest()),
             freshness_line(int(time.time()) if signed_at is None else signed_at, valid_days)]
    for site_path, local_path in files.items():
        check_site_path(site_path)
        size, digest = file_digest(local_path)
        lines.append("file %d %s %s" % (size, digest, site_path))
    return sign_body(private_key, ("\n".join(lines) + "\n").encode("utf-8"))


def sign_body(private_key, body):
    """The record of `body`, its lines before the signature: the body and its "signature" line."""
    r, s = decode_dss_signature(private_key.sign(body, ec.ECDSA(hashes.SHA256())))
    return body + b"signature " + (r.to_bytes(32, "big") + s.to_bytes(32, "big")).hex().encode("ascii") + b"\n"


SIGNED_FIELD = re.compile(r"file 0 0{64} vorn:signed (0|[1-9][0-9]*) valid (0|[1-9][0-9]*)\Z")
FILE_LINE = re.compile(r"file (0|[1-9][0-9]*) ([0-9a-f]{64}) (.+)\Z")


class Record:
    """A record's lines as a launcher reads them: the release, the manifest's size and SHA-256, the site paths
    with their sizes and SHA-256 in record order, the signing time and its seconds of validity (None when the
    record has no such line), the signed body and the signature."""

    def __init__(self, data):
        start = data.rfind(b"\nsignature ") + 1
        if start == 0 or not data.endswith(b"\n"):
            raise SignError("the record has no signature line")
        self.body, self.signature = data[:start], data[start + len(b"signature "):-1]
        try:
            lines = self.body.decode("utf-8").split("\n")[:-1]
        except UnicodeDecodeError:
            raise SignError("the record is not UTF-8 text")
        release = re.fullmatch(r"release ([1-9][0-9]*)", lines[1]) if len(lines) > 2 else None
        manifest = re.fullmatch(r"manifest ((?:0|[1-9][0-9]*) [0-9a-f]{64})", lines[2]) if release else None
        if lines[0] != FORMAT_LINE or not manifest or int(release.group(1)) > MAX_RELEASE:
            raise SignError("the record does not start with its format, release and manifest lines")
        self.release, self.manifest = int(release.group(1)), manifest.group(1)
        self.files, self.signed_at, self.valid_for = {}, None, None
        for number, line in enumerate(lines[3:], start=4):
            signed, listed = SIGNED_FIELD.fullmatch(line), FILE_LINE.fullmatch(line)
            path = listed.group(3) if listed else ""
            if signed and self.signed_at is None:
                self.signed_at, self.valid_for = int(signed.group(1)), int(signed.group(2))
            elif listed and path.startswith("vorn:") and not path.startswith("vorn:signed "):
                continue  # a field of a later tool: launchers that do not know it leave it alone
            elif listed and not path.startswith("vorn:") and path not in self.files:
                check_site_path(path)
                self.files[path] = "%s %s" % listed.group(1, 2)
            else:
                raise SignError("launchers refuse line %d of the record: %r" % (number, line))
        if max(self.signed_at or 0, self.valid_for or 0) > MAX_NUMBER:
            raise SignError("the record's signing time or validity is larger than launchers read")

    def expiry(self):
        """The last second (since 1970-01-01 UTC) launchers accept the record, or None when they never do."""
        return None if self.signed_at is None else self.signed_at + self.valid_for


def utc_time(seconds):
    return time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(min(seconds, 253402300799)))


def verify_record(record, manifest_bytes, files, public_key, now=None):
    """Checks a record as a launcher with `public_key` (130 hexadecimal digits) checks it at the time `now`
    (seconds since 1970-01-01 UTC; default: now): the signature over its body, its signing time and validity, the
    manifest's size and SHA-256, and one file line for each site path of `files` (site path -> the file to hash,
    in manifest order) with that file's size and SHA-256. Returns the Record; raises SignError saying what does
    not hold."""
    read = Record(record)
    try:
        key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), bytes.fromhex(public_key))
        raw = bytes.fromhex(read.signature.decode("ascii"))
        if len(raw) != 64:
            raise ValueError("a signature is 64 bytes")
        key.verify(encode_dss_signature(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big")),
                   read.body, ec.ECDSA(hashes.SHA256()))
    except (InvalidSignature, ValueError, UnicodeDecodeError):
        raise SignError("the record's signature does not hold for the public key %s" % public_key)
    if read.expiry() is None:
        raise SignError("the record says nothing of when it was signed, so launchers refuse it")
    # A launcher whose clock is behind the signing time accepts the record: only the end of its days counts.
    if (time.time() if now is None else now) > read.expiry():
        raise SignError("the record expired at %s; launchers refuse it until it is signed again"
                        % utc_time(read.expiry()))
    if read.manifest != "%d %s" % (len(manifest_bytes), hashlib.sha256(manifest_bytes).hexdigest()):
        raise SignError("the record signs another manifest")
    if list(read.files) != list(files):
        raise SignError("the record lists other files than the manifest")
    for site_path, local_path in files.items():
        if read.files[site_path] != "%d %s" % file_digest(local_path):
            raise SignError("%s differs from the record" % site_path)
    return read


def previous_record(record_path):
    """(release number, manifest line) of the record already at record_path, or None when there is none."""
    try:
        with open(record_path, "rb") as stream:
            data = stream.read(1 << 16)
    except FileNotFoundError:
        return None
    match = re.match(rb"vorn-release-record 1\nrelease ([1-9][0-9]{0,18})\n(manifest [0-9]+ [0-9a-f]{64})\n", data)
    if not match:
        raise SignError("%s is not a release record; remove it or sign with --force" % record_path)
    return int(match.group(1)), match.group(2).decode("ascii")


def check_release_grows(record_path, release, force, manifest_bytes=None):
    """Refuses a release number not larger than the one of the record at record_path. The same number is taken
    for the same manifest (`manifest_bytes`): that renews the signature of the release already signed."""
    previous = None if force else previous_record(record_path)
    if previous is None:
        return
    last, manifest_line = previous
    if release == last and manifest_bytes is not None and manifest_line == "manifest %d %s" % (
            len(manifest_bytes), hashlib.sha256(manifest_bytes).hexdigest()):
        return
    if release <= last:
        raise SignError("release %d is not larger than %d, the release of %s; use a larger number "
                        "(or --force)" % (release, last, record_path))


def sign_folder(folder, manifest_name, key_path, release, force, signed_at=None, valid_days=DEFAULT_VALID_DAYS):
    """Writes the record of a published folder beside its manifest; returns the record's path."""
    manifest_path = os.path.join(folder, manifest_name)
    record_path = manifest_path + ".sig"
    with open(manifest_path, "rb") as stream:
        manifest_bytes = stream.read()
    check_release_grows(record_path, release, force, manifest_bytes)
    files = {path: os.path.join(folder, *path.split("/")) for path in manifest_site_paths(manifest_bytes)}
    missing = [path for path, local in files.items() if not os.path.isfile(local)]
    if missing:
        raise SignError("listed but not in the folder: %s" % ", ".join(missing[:10]))
    record = build_record(load_private_key(key_path), manifest_bytes, files, release, signed_at, valid_days)
    write_atomically(record_path, record)
    return record_path


def keygen(path):
    key = ec.generate_private_key(ec.SECP256R1())
    pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                            serialization.NoEncryption())
    with os.fdopen(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as stream:
        stream.write(pem)
    return key


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0], epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    command = commands.add_parser("keygen", help="make a key pair")
    command.add_argument("key", help="where to write the private key (PEM)")
    command = commands.add_parser("public-key", help="print the public key of a private key")
    command.add_argument("key", help="the private key (PEM)")
    command = commands.add_parser("sign", help="write the release record of a published folder")
    command.add_argument("folder", help="the folder as it is published: the manifest and the files")
    command.add_argument("--key", required=True, help="the private key (PEM)")
    command.add_argument("--release", required=True, type=int, help="the release number; only grows")
    command.add_argument("--manifest", default="up.ini", help="the manifest's file name (default: up.ini)")
    command.add_argument("--force", action="store_true", help="allow a release number that does not grow")
    command.add_argument("--valid-days", type=int, default=DEFAULT_VALID_DAYS, metavar="DAYS",
                         help="days launchers accept the record from its signing time (default: %d)"
                              % DEFAULT_VALID_DAYS)
    command.add_argument("--signed-at", type=int, metavar="SECONDS",
                         help="the signing time in seconds since 1970-01-01 UTC (default: now)")
    args = parser.parse_args(argv)

    try:
        if args.command == "keygen":
            print(public_key_hex(keygen(args.key)))
        elif args.command == "public-key":
            print(public_key_hex(load_private_key(args.key)))
        else:
            record = sign_folder(args.folder, args.manifest, args.key, args.release, args.force, args.signed_at,
                                 args.valid_days)
            print("sign_release: release %d signed in %s" % (args.release, record))
    except (SignError, OSError, ValueError) as error:
        print("sign_release: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
