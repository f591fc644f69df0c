#!/usr/bin/env python3
"""Publishes a client folder as a new release of an update site in one safe step, rolls back, and uploads.

Usage:
  publish.py release CLIENT LIVE [--key KEY [--public-key HEX] [--valid-days DAYS] | --unsigned] [--release N]
                     [--keep K] [--exclude PATTERN ...] [--exclude-list FILE] [--manifest up.ini]
                     [--encoding utf-8|utf-16] [--upload DEST]
  publish.py rollback LIVE [--to N] [--key KEY [--public-key HEX] [--valid-days DAYS]] [--release N] [--keep K]
                      [--upload DEST]
  publish.py renew LIVE --key KEY [--public-key HEX] [--valid-days DAYS] [--upload DEST]
  publish.py upload LIVE DEST
  publish.py status LIVE

LIVE is the path the web server serves at the launcher's update address (for https://updates.example.com/vorn/
with nginx's root /srv/vorn/site, /srv/vorn/site/vorn). publish.py makes it a symbolic link to the live release
and keeps the releases beside it, in LIVE.releases/<N>/:

  up.ini, up.ini.sig    the release's manifest and, with a key, its signed release record
  N/...                 the release's files (a file unchanged since the live release is a hard link to it)
  M -> ../M/M           the files of the other kept releases, for launchers that read M's manifest just before
  up.ini.blocks/        the block indexes of the release's large files (make_manifest.py's) and of the other
                        kept releases', named by their SHA-256 (an index a kept release holds is a hard link)

"release" lists the client folder's files as make_manifest.py does (the same refusals and --exclude patterns),
places them in a new release folder beside the live one, writes a block index of every file of 1 MiB or more
(--no-block-index: none, so launchers download a changed file whole), writes the manifest with site paths under N/
and, with --key, signs the release (sign_release.py's record, release number N, signed now and accepted by launchers for
--valid-days days, default 30). It then checks the new release the way the launcher will: every listed file's
CRC-32, every block index's size and SHA-256 against the manifest and its header against its file, and, when
signed, the record's signature with the public key (that of --public-key, the one the players'
launchers were built with, else the key's own), its days, and every size and SHA-256.
Only then does the release go live, in one step: a new link renamed over LIVE. Every request the server answers
reads one release whole; a manifest never shows without its files or its record, and the files of the release
before stay where that release's manifest names them. A failure at any point, the process killed included,
leaves the live release as it was. The oldest releases beyond --keep (default 2: the live one and the one
before) are removed.

N is one more than the newest release kept unless --release gives a larger number (give one above every
release the players' launchers installed when the site was published otherwise before). On a signed site --key is
needed (a release without a record would be refused by every launcher built with a key); --unsigned publishes
one all the same.

"rollback" publishes the files of a kept release (--to N, default the one before the live one) again as a new
release, signed afresh with --key when the site is signed: the release number keeps growing, so launchers that
installed the live release accept it.

"renew" signs the live release again, now, with the same number, manifest and files: launchers refuse a record
once its days are over, so renew well before then (publish.py status shows when each record ends). A launcher
reads either record with the manifest, since both sign the same bytes. Every release and rollback is signed
afresh too.

"upload" copies the site to DEST (a folder on this machine or host:folder, through rsync and ssh), the folder
that holds LIVE's counterpart on the web server, in an order that keeps the same promise there: first the
releases (hard links kept), then the link, which rsync renames into place, then the removal of releases no longer
kept. So the signing key stays on this machine and the web server only ever serves whole releases. "release"
and "rollback" upload after going live with --upload DEST.

"status" prints the live release and the kept ones, and until when each one's record holds."""
import argparse
import contextlib
import fcntl
import hashlib
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import block_index  # noqa: E402
import make_manifest  # noqa: E402
import sign_release  # noqa: E402
from atomic_file import write_atomically  # noqa: E402

RELEASES_SUFFIX = ".releases"
PARTIAL_PREFIX = ".partial-"
LOCK_NAME = ".lock"
BLOCK = 1 << 20
# Two releases: the live one, and the one before for a rollback and for launchers that read its manifest just
# before the switch and are still downloading its files.
DEFAULT_KEEP = 2
# rsync gives up when no data moves for this long: a first upload of a large client over a slow line may honestly
# take hours, a line that carries nothing for five minutes is gone.
RSYNC_STALL_S = 300


class PublishError(Exception):
    pass


class Site:
    """The live link and the folder of kept releases beside it."""

    def __init__(self, live):
        self.live = os.path.abspath(live)
        self.releases = self.live + RELEASES_SUFFIX

    def view(self, number):
        return os.path.join(self.releases, str(number))

    def tree(self, number):
        return os.path.join(self.view(number), str(number))

    def live_release(self):
        """The live release's number, or None before the first release."""
        if not os.path.lexists(self.live):
            return None
        if not os.path.islink(self.live):
            raise PublishError("%s is a folder, not the link publish.py keeps there; move it away (its files can "
                               "be the client folder of the first release)" % self.live)
        target = os.readlink(self.live)
        head, name = os.path.split(target)
        if head != os.path.basename(self.releases) or not name.isdigit():
            raise PublishError("%s links to %s, not to a release of %s" % (self.live, target, self.releases))
        return int(name)

    def kept(self):
        """The numbers of the kept releases, oldest first."""
        if not os.path.isdir(self.releases):
            return []
        return sorted(int(name) for name in os.listdir(self.releases) if name.isdigit())

    def switch_to(self, number):
        """Makes release `number` live: a new link renamed over the old one, so every request sees one or the
        other."""
        temporary = "%s.new-%d" % (self.live, os.getpid())
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        os.symlink(os.path.join(os.path.basename(self.releases), str(number)), temporary)
        os.replace(temporary, self.live)
        sync_folder(os.path.dirname(self.live))

    @contextlib.contextmanager
    def locked(self):
        """One publisher at a time; what a killed one left half-made is removed under the lock."""
        os.makedirs(self.releases, exist_ok=True)
        with open(os.path.join(self.releases, LOCK_NAME), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            for name in os.listdir(self.releases):
                if name.startswith(PARTIAL_PREFIX):
                    shutil.rmtree(os.path.join(self.releases, name))
            parent, name = os.path.split(self.live)
            for other in os.listdir(parent):
                if other.startswith(name + ".new-") and os.path.islink(os.path.join(parent, other)):
                    os.unlink(os.path.join(parent, other))
            yield


def sync(path, flags=os.O_RDONLY):
    """What was written to the file or folder at `path` is on the disk (the machine's other writes are not
    waited for)."""
    descriptor = os.open(path, flags)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def sync_folder(path):
    sync(path, os.O_RDONLY | os.O_DIRECTORY)


def same_content(first, second):
    if os.path.getsize(first) != os.path.getsize(second):
        return False
    with open(first, "rb") as a, open(second, "rb") as b:
        while True:
            block = a.read(BLOCK)
            if block != b.read(BLOCK):
                return False
            if not block:
                return True


class NewRelease:
    """One release being made in a folder of its own beside the live one; the steps below fill it in order."""

    def __init__(self, site, number, files, options):
        self.site = site
        self.number = number
        self.files = files              # (client path with backslashes, source file), in manifest order
        self.options = options
        self.folder = os.path.join(site.releases, "%s%d" % (PARTIAL_PREFIX, number))
        self.live = site.live_release()
        self.keep = sorted(site.kept())[-(options.keep - 1):] if options.keep > 1 else []
        self.manifest_path = os.path.join(self.folder, options.manifest)
        self.manifest = b""
        self.entries = []
        self.linked = 0
        self.expiry = None              # when the record's days end, once checked

    def site_file(self, relative):
        return os.path.join(self.folder, str(self.number), *relative.split("\\"))


def place_files(release):
    """The release's own files: a hard link where the live release holds the same bytes, else a copy."""
    for relative, source in release.files:
        target = release.site_file(relative)
        os.makedirs(os.path.dirname(target), mode=0o755, exist_ok=True)
        candidates = [source] if source.startswith(release.site.releases + os.sep) else []
        if release.live is not None:
            candidates.append(os.path.join(release.site.tree(release.live), *relative.split("\\")))
        shared = next((c for c in candidates if os.path.isfile(c) and same_content(c, source)), None)
        if shared is not None:
            os.link(shared, target)
            release.linked += 1
        else:
            shutil.copyfile(source, target)
            os.chmod(target, 0o644)
            sync(target)


def link_kept_trees(release):
    """Launchers that read a kept release's manifest just before the switch still find its files."""
    for number in release.keep:
        os.symlink(os.path.join("..", str(number), str(number)), os.path.join(release.folder, str(number)))


def list_entries(release):
    """Each placed file's CRC-32 and, for a large one, its block index."""
    listed = [(relative, release.site_file(relative)) for relative, _ in release.files]
    release.entries = make_manifest.manifest_entries(listed, str(release.number),
                                                     not release.options.no_block_index)


def listed_indexes(view, manifest_name):
    """The names of the block indexes the manifest of the release in `view` lists."""
    with open(os.path.join(view, manifest_name), "rb") as stream:
        return block_index.listed_names(sign_release.manifest_sections(stream.read()).get("blocks", {}))


def place_block_indexes(release):
    """The block indexes of the release's manifest and those of the other kept releases' manifests (a launcher
    that read one of those just before the switch still finds its indexes); a hard link where a kept release
    holds the same bytes."""
    wanted = {block_index.name(index): index for _, _, _, index in release.entries if index is not None}
    for number in release.keep:
        for name in listed_indexes(release.site.view(number), release.options.manifest):
            wanted.setdefault(name, None)
    held = {}
    for number in release.site.kept():
        folder = block_index.folder_of(os.path.join(release.site.view(number), release.options.manifest))
        for name in os.listdir(folder) if os.path.isdir(folder) else []:
            held.setdefault(name, os.path.join(folder, name))
    if not wanted:
        return
    folder = block_index.folder_of(release.manifest_path)
    os.mkdir(folder, 0o755)
    for name, index in wanted.items():
        target = os.path.join(folder, name)
        source = held.get(name)
        if source is not None and (index is None or same_bytes(source, index)):
            os.link(source, target)
        elif index is not None:
            with open(target, "xb") as stream:
                stream.write(index)
                os.fsync(stream.fileno())
            os.chmod(target, 0o644)


def same_bytes(path, data):
    with open(path, "rb") as stream:
        return stream.read(len(data) + 1) == data


def write_manifest(release):
    release.manifest = make_manifest.encode(make_manifest.build_manifest(release.entries, release.options.manifest),
                                            release.options.encoding)
    with open(release.manifest_path, "wb") as stream:
        stream.write(release.manifest)
        os.fsync(stream.fileno())


def sign(release):
    if not release.options.key:
        return
    files = {remote: os.path.join(release.folder, *remote.split("/")) for remote, _, _, _ in release.entries}
    record = sign_release.build_record(release.options.private_key, release.manifest, files, release.number,
                                       valid_days=release.options.valid_days)
    with open(release.manifest_path + ".sig", "wb") as stream:
        stream.write(record)
        os.fsync(stream.fileno())


def check(release):
    """Reads the release back as the launcher will and refuses it at the first thing that does not hold."""
    with open(release.manifest_path, "rb") as stream:
        manifest = stream.read()
    sections = sign_release.manifest_sections(manifest)
    entries = sections.get("up", {})
    site_paths = sign_release.manifest_site_paths(manifest)
    files = {}
    checked = []
    for n, site_path in enumerate(site_paths, start=1):
        local = entries.get("cfile%d" % n, "")
        if make_manifest.path_problem(local) or make_manifest.path_problem(site_path.replace("/", "\\")):
            raise PublishError("manifest entry %d names a path the launcher refuses" % n)
        path = os.path.join(release.folder, *site_path.split("/"))
        crc = make_manifest.file_crc32(path) if os.path.isfile(path) else None
        if crc is None or "%08X" % crc != entries.get("xyz%d" % n, "").upper():
            raise PublishError("%s does not match its CRC-32 in the manifest" % site_path)
        files.setdefault(site_path, path)
        checked.append((site_path, path, crc))
    if len(site_paths) != len(release.files):
        raise PublishError("the manifest lists %d files, the release holds %d" % (len(site_paths),
                                                                                   len(release.files)))
    check_block_indexes(release.folder, sections.get("blocks", {}), checked)
    if release.options.key:
        with open(release.manifest_path + ".sig", "rb") as stream:
            record = stream.read()
        signed = sign_release.verify_record(record, manifest, files, release.options.public_key)
        if signed.release != release.number:
            raise PublishError("the record signs release %d, not %d" % (signed.release, release.number))
        release.expiry = signed.expiry()


def check_block_indexes(folder, blocks, checked):
    """Each index of the manifest's [Blocks] section (`blocks`, key -> value): for an entry of the manifest, at
    a path the launcher takes, of the size and SHA-256 the manifest gives, and the index of that entry's file.
    `checked` holds each entry's (site path, file, CRC-32)."""
    for key, value in blocks.items():
        number = key[len("index"):]
        size, digest, site_path = (value.split(" ", 2) + ["", ""])[:3]
        if (not key.startswith("index") or not number.isdigit() or not 1 <= int(number) <= len(checked) or
                make_manifest.path_problem(site_path.replace("/", "\\"))):
            raise PublishError("the manifest's block index %s=%s names no entry or a path the launcher refuses"
                               % (key, value))
        entry, path, crc = checked[int(number) - 1]
        index_path = os.path.join(folder, *site_path.split("/"))
        if not os.path.isfile(index_path):
            raise PublishError("the block index of %s is missing" % entry)
        with open(index_path, "rb") as stream:
            index = stream.read(block_index.MAX_INDEX_BYTES + 1)
        if "%d %s" % (len(index), hashlib.sha256(index).hexdigest()) != "%s %s" % (size, digest):
            raise PublishError("the block index of %s does not match the manifest" % entry)
        if not block_index.describes(index, os.path.getsize(path), crc):
            raise PublishError("the block index of %s describes another file" % entry)


# The steps that make a release, in order; each reads what the ones before left in the release folder.
STEPS = (place_files, link_kept_trees, list_entries, place_block_indexes, write_manifest, sign, check)


def make_live(site, release):
    """Writes the release beside the live one, checks it, then switches; on any failure the live one stays."""
    try:
        os.mkdir(release.folder, 0o755)
        for step in STEPS:
            step(release)
        # Every byte of the release is on the disk before the link names it.
        for current, _, _ in os.walk(release.folder):
            sync_folder(current)
        os.rename(release.folder, site.view(release.number))
        sync_folder(site.releases)
    except (PublishError, OSError, ValueError, sign_release.SignError) as error:
        raise PublishError("%s; the live release is unchanged" % error)
    finally:
        shutil.rmtree(release.folder, ignore_errors=True)
    site.switch_to(release.number)
    for number in site.kept():
        if number != release.number and number not in release.keep:
            shutil.rmtree(site.view(number))


def next_number(site, asked):
    newest = max(site.kept() + [site.live_release() or 0])
    if asked is None:
        return newest + 1
    if asked <= newest:
        raise PublishError("release %d is not larger than %d, the newest release of %s" % (asked, newest,
                                                                                          site.releases))
    return asked


def prepare_key(site, options):
    """Loads the signing key, or refuses an unsigned release of a signed site unless asked for one."""
    live = site.live_release()
    signed = live is not None and os.path.exists(os.path.join(site.view(live), options.manifest + ".sig"))
    if not options.key:
        if signed and not getattr(options, "unsigned", False):
            raise PublishError("the live release is signed: give --key (launchers built with a key refuse a "
                               "release without a record; --unsigned publishes one all the same)")
        return
    options.private_key = sign_release.load_private_key(options.key)
    own = sign_release.public_key_hex(options.private_key)
    options.public_key = (options.public_key or own).lower()
    if options.public_key != own:
        raise PublishError("the key %s does not belong to the public key %s the launchers check with"
                           % (options.key, options.public_key))


def publish(site, files, options):
    with site.locked():
        prepare_key(site, options)
        number = next_number(site, options.release)
        release = NewRelease(site, number, files, options)
        make_live(site, release)
        indexes = sum(1 for _, _, _, index in release.entries if index is not None)
        signed = ", signed until " + sign_release.utc_time(release.expiry) if options.key else ""
        print("publish: release %d is live at %s (%d files, %d shared with the releases kept, %d block indexes%s)"
              % (number, site.live, len(files), release.linked, indexes, signed))
        if options.upload:
            upload(site, options.upload)


def release_command(options):
    site = Site(options.live)
    client = os.path.abspath(options.client)
    if not os.path.isdir(client):
        raise PublishError("%s is not a folder" % options.client)
    patterns = list(options.exclude)
    if options.exclude_list:
        patterns += make_manifest.read_patterns(options.exclude_list)
    files = make_manifest.listed_files(client, patterns, os.path.join(client, options.manifest))
    publish(site, files, options)


def rollback_command(options):
    site = Site(options.live)
    live = site.live_release()
    if live is None:
        raise PublishError("nothing is live at %s" % site.live)
    older = [n for n in site.kept() if n < live]
    source = options.to if options.to is not None else (older[-1] if older else None)
    if source is None or source not in site.kept():
        raise PublishError("no kept release to roll back to (kept: %s)" % ", ".join(map(str, site.kept())))
    tree = site.tree(source)
    publish(site, make_manifest.listed_files(tree, output=os.path.join(tree, options.manifest)), options)


def upload(site, destination):
    """The site to `destination` (the folder holding LIVE's counterpart): releases, then the link, then the
    removal of releases no longer kept, each step complete before the next starts. Called under the lock, so no
    release changes while it is read."""
    if site.live_release() is None:
        raise PublishError("nothing is live at %s to upload" % site.live)
    name = os.path.basename(site.live)
    target = destination.rstrip("/") + "/"
    stall = "--timeout=%d" % RSYNC_STALL_S
    releases = ["--exclude", "/" + LOCK_NAME, "--exclude", "/" + PARTIAL_PREFIX + "*", site.releases + "/",
                target + name + RELEASES_SUFFIX + "/"]
    for command in (["rsync", "-aH", stall] + releases,
                    ["rsync", "-a", stall, site.live, target],
                    ["rsync", "-aH", stall, "--delete"] + releases):
        result = subprocess.run(command, stdin=subprocess.DEVNULL)
        if result.returncode != 0:
            raise PublishError("%s failed with status %d; the web server still serves a whole release (run "
                               "publish.py upload again)" % (" ".join(command), result.returncode))
    print("publish: uploaded to %s" % destination)


def renew_command(options):
    """Signs the live release again with a fresh signing time, its number, manifest and files unchanged."""
    site = Site(options.live)
    with site.locked():
        live = site.live_release()
        if live is None:
            raise PublishError("nothing is live at %s" % site.live)
        view = site.view(live)
        record_path = os.path.join(view, options.manifest + ".sig")
        if not os.path.exists(record_path):
            raise PublishError("release %d is not signed; publish a signed release instead" % live)
        prepare_key(site, options)
        with open(os.path.join(view, options.manifest), "rb") as stream:
            manifest = stream.read()
        files = {path: os.path.join(view, *path.split("/")) for path in sign_release.manifest_site_paths(manifest)}
        record = sign_release.build_record(options.private_key, manifest, files, live,
                                           valid_days=options.valid_days)
        expiry = sign_release.verify_record(record, manifest, files, options.public_key).expiry()
        # Renamed over the old record: a launcher reads one or the other, and both sign this manifest.
        write_atomically(record_path, record)
        sync_folder(view)
        print("publish: release %d signed again, valid until %s" % (live, sign_release.utc_time(expiry)))
        if options.upload:
            upload(site, options.upload)


def record_state(path):
    """How a release's record stands, for status: unsigned, until when it holds, or since when it does not."""
    try:
        with open(path, "rb") as stream:
            expiry = sign_release.Record(stream.read(sign_release.MAX_RECORD_BYTES)).expiry()
    except FileNotFoundError:
        return ""
    except sign_release.SignError as error:
        return " (a record launchers refuse: %s)" % error
    if expiry is None:
        return " (signed without a signing time, which launchers refuse)"
    return " (signed, %s %s)" % ("valid until" if time.time() <= expiry else "expired at",
                                 sign_release.utc_time(expiry))


def status_command(options):
    site = Site(options.live)
    live = site.live_release()
    for number in site.kept():
        state = record_state(os.path.join(site.view(number), options.manifest + ".sig"))
        print("%s %d%s" % ("live" if number == live else "kept", number, state))
    if live is None:
        print("nothing is live at %s" % site.live)


def arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0], epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    release = commands.add_parser("release", help="publish a client folder as a new release")
    release.add_argument("client", help="the client folder as players should have it")
    rollback = commands.add_parser("rollback", help="publish a kept release again as a new release")
    rollback.add_argument("--to", type=int, metavar="N", help="the kept release (default: the one before)")
    renew = commands.add_parser("renew", help="sign the live release again, now")
    for command in (release, rollback, renew):
        command.add_argument("live", help="the path the web server serves at the update address")
        command.add_argument("--key", required=command is renew, help="sign with this private key (PEM)")
        command.add_argument("--public-key", metavar="HEX", help="the launchers' key; the check uses it")
        command.add_argument("--valid-days", type=int, default=sign_release.DEFAULT_VALID_DAYS, metavar="DAYS",
                             help="days launchers accept the record from its signing (default %d)"
                                  % sign_release.DEFAULT_VALID_DAYS)
        command.add_argument("--manifest", default="up.ini", help="the manifest's name (default up.ini)")
        command.add_argument("--upload", metavar="DEST", help="upload to DEST after going live")
    for command in (release, rollback):
        command.add_argument("--release", type=int, metavar="N", help="the new release's number; only grows")
        command.add_argument("--keep", type=int, default=DEFAULT_KEEP, metavar="K",
                             help="releases kept, the live one included (default %d)" % DEFAULT_KEEP)
        command.add_argument("--encoding", choices=("utf-8", "utf-16"), default="utf-8",
                             help="text encoding of a manifest with non-ASCII paths")
        command.add_argument("--no-block-index", action="store_true",
                             help="write no block indexes: launchers then download a changed file whole")
    release.add_argument("--unsigned", action="store_true", help="publish without a record on a signed site")
    release.add_argument("--exclude", action="append", default=[], metavar="PATTERN",
                         help="leave out files whose relative path matches PATTERN (repeatable)")
    release.add_argument("--exclude-list", metavar="FILE", help="a file of exclude patterns, one per line")
    upload_command = commands.add_parser("upload", help="copy the site to the web server")
    upload_command.add_argument("live")
    upload_command.add_argument("destination", metavar="DEST", help="folder or host:folder holding the link")
    status = commands.add_parser("status", help="the live and the kept releases")
    status.add_argument("live")
    status.add_argument("--manifest", default="up.ini")
    options = parser.parse_args(argv)
    if getattr(options, "keep", 1) < 1:
        parser.error("--keep is at least 1")
    if getattr(options, "public_key", None) and not getattr(options, "key", None):
        parser.error("--public-key checks a signature: give --key too")
    return options


def main(argv=None):
    options = arguments(argv)
    try:
        if options.command == "release":
            release_command(options)
        elif options.command == "rollback":
            rollback_command(options)
        elif options.command == "renew":
            renew_command(options)
        elif options.command == "upload":
            site = Site(options.live)
            with site.locked():
                upload(site, options.destination)
        else:
            status_command(options)
    except make_manifest.Refused as refused:
        make_manifest.report_refused(refused, "publish")
        return 1
    except (PublishError, sign_release.SignError, OSError, ValueError) as error:
        print("publish: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
