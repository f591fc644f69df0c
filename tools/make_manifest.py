#!/usr/bin/env python3
"""Writes the update manifest ("up.ini") for a client folder, so that folder can be published as an update site.

Usage:
  make_manifest.py CLIENT_FOLDER [-o OUTPUT] [--exclude PATTERN ...] [--exclude-list FILE]
                   [--remote-prefix PREFIX] [--encoding {utf-8,utf-16}] [--no-block-index]
                   [--sign-key KEY --release N [--force] [--valid-days DAYS]]

Every file under CLIENT_FOLDER becomes one entry, in path order:
  [Set]  Count=<number of entries>
  [up]   File<n>=<path on the update site>  CFile<n>=<path in the client folder>  XYZ<n>=<CRC-32, 8 hex digits>
The site path is the client path with forward slashes, below --remote-prefix when given (for a site that keeps
the files in a subfolder of the manifest's folder). Serve the manifest and the files from the folder that the
launcher's update base URL names.

Block indexes: every file of 1 MiB or more also gets a block index (the size, CRC-32 and two checksums of every
8 KiB block), so that a launcher which holds an older copy of the file (any older version, or one cut short)
downloads only the blocks that changed instead of the whole file. The indexes are written to <OUTPUT>.blocks/
beside the manifest, named by their SHA-256, and listed in the manifest's [Blocks] section (Index<n>=<size>
<SHA-256> <site path>); launchers that do not know them ignore both, and a site without them still works. Publish
that folder with the manifest; indexes the manifest no longer lists are removed from it. --no-block-index writes
none: a changed file is then always downloaded whole.

Excluding files: --exclude takes a shell pattern (*, ?, [..]) matched against the relative path with forward
slashes, ignoring case ("Data/Logs/*", "*.tmp"); --exclude-list reads such patterns one per line (blank lines
and lines starting with # are skipped). The output file itself, its release record and its block indexes are
always left out.

The launcher refuses a manifest whose paths could escape the client folder or name a device, so this tool refuses
them too, before writing anything: empty components, "." and "..", components ending in "." or a space, white
space at either end, the characters : * ? " < > | and control characters, reserved device names (CON, PRN, AUX,
NUL, COM1-COM9, LPT1-LPT9, with or without an extension), two paths equal but for letter case, symbolic links,
and more than 100000 files. Each refused path is listed with its reason and the exit status is 1.

Signing: with --sign-key and --release the release record (<manifest>.sig) is written beside the manifest in the
same step, as tools/sign_release.py sign writes it; the release number must be larger than the one of the record
already there (--force allows any), or the same for an unchanged manifest, which renews the signature. Launchers
accept the record for --valid-days days (default 30). Publish the record with the manifest.

Text encoding: ASCII when every path is ASCII; otherwise UTF-8 with a byte order mark (--encoding utf-8, the
default) or UTF-16 LE with a byte order mark (--encoding utf-16). The launcher reads all of these.
"""
import argparse
import fnmatch
import os
import sys
import zlib

import block_index
from atomic_file import write_atomically

MAX_ENTRIES = 100000
FORBIDDEN = set(':*?"<>|')
DEVICE_NAMES = {"CON", "PRN", "AUX", "NUL"}


def path_problem(path):
    """Why the launcher would refuse this relative path (backslash separated), or None."""
    if not path:
        return "empty path"
    if path[0].isspace() or path[-1].isspace():
        return "white space at the start or end"
    if path.startswith("\\"):
        return "starts with a separator"
    for ch in path:
        if ch in FORBIDDEN or ord(ch) < 0x20:
            return "contains the character %r" % ch
    for component in path.split("\\"):
        if component in ("", ".", ".."):
            return "empty, '.' or '..' component"
        if component.endswith(".") or component.endswith(" "):
            return "component %r ends with '.' or a space" % component
        base = component.split(".", 1)[0].upper()
        if base in DEVICE_NAMES or (len(base) == 4 and base[:3] in ("COM", "LPT") and base[3] in "123456789"):
            return "component %r is a reserved device name" % component
    return None


def ini_value(text):
    """The value text that reads back as `text`: the reader drops one pair of equal enclosing quotes."""
    if len(text) >= 2 and text[0] in "'\"" and text[-1] == text[0]:
        return '"' + text + '"'
    return text


def file_crc32(path):
    crc = 0
    with open(path, "rb") as stream:
        while True:
            block = stream.read(1 << 20)
            if not block:
                return crc
            crc = zlib.crc32(block, crc)


def read_patterns(list_file):
    with open(list_file, encoding="utf-8-sig") as stream:
        return [line.strip() for line in stream if line.strip() and not line.lstrip().startswith("#")]


def collect(folder, patterns, output):
    """(relative path with backslashes, full path) of every file to list, and the problems found."""
    files, problems = [], []
    output = os.path.normcase(os.path.abspath(output))
    indexes = os.path.normcase(os.path.abspath(block_index.folder_of(output)))
    for current, dirs, names in os.walk(folder):
        dirs.sort()
        for name in list(dirs):
            full = os.path.join(current, name)
            if os.path.normcase(os.path.abspath(full)) == indexes:
                dirs.remove(name)
            elif os.path.islink(full):
                relative = os.path.relpath(full, folder).replace(os.sep, "\\")
                if not excluded(relative, patterns):
                    problems.append((relative, "is a symbolic link"))
                dirs.remove(name)
        for name in sorted(names):
            full = os.path.join(current, name)
            relative = os.path.relpath(full, folder).replace(os.sep, "\\")
            if os.path.normcase(os.path.abspath(full)) in (output, output + ".sig") or excluded(relative, patterns):
                continue
            if os.path.islink(full):
                problems.append((relative, "is a symbolic link"))
            elif not os.path.isfile(full):
                problems.append((relative, "is not a regular file"))
            else:
                files.append((relative, full))
    return files, problems


class Refused(Exception):
    """Paths the launcher would refuse, each with its reason: (relative path, problem) pairs."""

    def __init__(self, problems):
        super().__init__("%d paths refused" % len(problems))
        self.problems = problems


def listed_files(folder, patterns=(), output=None, prefix=""):
    """(relative path with backslashes, full path) of every file the manifest lists, in its order; raises Refused
    with every path the launcher would refuse under the site path prefix (backslash separated)."""
    files, problems = collect(folder, patterns, output or os.path.join(folder, "up.ini"))
    seen = {}
    listed = []
    for relative, full in sorted(files, key=lambda item: (item[0].upper(), item[0])):
        remote = prefix + "\\" + relative if prefix else relative
        problem = path_problem(relative) or path_problem(remote)
        if problem is None and relative.upper() in seen:
            problem = "same path as %s but for letter case" % seen[relative.upper()]
        if problem:
            problems.append((relative, problem))
            continue
        seen[relative.upper()] = relative
        listed.append((relative, full))
    if len(listed) > MAX_ENTRIES:
        problems.append((folder, "%d files; the launcher accepts at most %d" % (len(listed), MAX_ENTRIES)))
    if problems:
        raise Refused(problems)
    return listed


def manifest_entries(files, prefix="", block_indexes=True):
    """The manifest's entries of listed_files' result, each (site path with slashes, client path, CRC-32, block
    index): with `block_indexes`, a file large enough gets its index's bytes (block_index.make, one read for both
    the index and the CRC-32), every other entry None."""
    entries = []
    for relative, full in files:
        remote = prefix + "\\" + relative if prefix else relative
        index = None
        if block_indexes and block_index.indexed(os.path.getsize(full)):
            crc, index = block_index.make(full)
        else:
            crc = file_crc32(full)
        entries.append((remote.replace("\\", "/"), relative, crc, index))
    return entries


def excluded(relative, patterns):
    slashed = relative.replace("\\", "/").lower()
    return any(fnmatch.fnmatchcase(slashed, pattern.replace("\\", "/").lower()) for pattern in patterns)


def build_manifest(entries, manifest_name="up.ini"):
    """The text of the manifest `manifest_name` listing `entries` (manifest_entries'), its indexes under
    [Blocks]."""
    lines = ["[Set]", "Count=%d" % len(entries), "[up]"]
    index_values = {}
    for n, (remote, local, crc, index) in enumerate(entries, start=1):
        lines.append("File%d=%s" % (n, ini_value(remote)))
        lines.append("CFile%d=%s" % (n, ini_value(local)))
        lines.append("XYZ%d=%08X" % (n, crc))
        if index is not None:
            index_values[n] = block_index.value(manifest_name, index)
    return "\r\n".join(lines + block_index.section(index_values)) + "\r\n"


def encode(text, encoding):
    if text.isascii():
        return text.encode("ascii")
    if encoding == "utf-16":
        return b"\xff\xfe" + text.encode("utf-16-le")
    return b"\xef\xbb\xbf" + text.encode("utf-8")


def report_refused(refused, tool):
    for relative, problem in refused.problems:
        print("%s: refused %s: %s" % (tool, relative, problem), file=sys.stderr)
    print("%s: nothing written; rename or exclude the files above" % tool, file=sys.stderr)


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n", 1)[0],
        epilog=__doc__.split("\n\n", 1)[1],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", help="the client folder to publish")
    parser.add_argument("-o", "--output", help="where to write the manifest (default: FOLDER/up.ini)")
    parser.add_argument("--exclude", action="append", default=[], metavar="PATTERN",
                        help="leave out files whose relative path matches PATTERN (repeatable)")
    parser.add_argument("--exclude-list", metavar="FILE", help="a file of exclude patterns, one per line")
    parser.add_argument("--remote-prefix", default="", metavar="PREFIX",
                        help="folder of the files on the site, relative to the manifest (default: none)")
    parser.add_argument("--encoding", choices=("utf-8", "utf-16"), default="utf-8",
                        help="text encoding when a path is not ASCII (default: utf-8)")
    parser.add_argument("--no-block-index", action="store_true",
                        help="write no block indexes: a changed file is then always downloaded whole")
    parser.add_argument("--sign-key", metavar="KEY", help="sign the release with this private key (PEM)")
    parser.add_argument("--release", type=int, metavar="N", help="the release number to sign; only grows")
    parser.add_argument("--force", action="store_true", help="sign even when the release number does not grow")
    parser.add_argument("--valid-days", type=int, metavar="DAYS",
                        help="days launchers accept the signed release (default: sign_release.py's, 30)")
    args = parser.parse_args(argv)
    if (args.sign_key is None) != (args.release is None):
        parser.error("--sign-key and --release go together")
    if args.valid_days is not None and args.sign_key is None:
        parser.error("--valid-days goes with --sign-key")

    folder = os.path.abspath(args.folder)
    if not os.path.isdir(folder):
        print("make_manifest: %s is not a folder" % args.folder, file=sys.stderr)
        return 2
    output = args.output or os.path.join(folder, "up.ini")
    patterns = list(args.exclude)
    if args.exclude_list:
        patterns += read_patterns(args.exclude_list)
    prefix = args.remote_prefix.replace("/", "\\").strip("\\")
    if prefix and path_problem(prefix):
        print("make_manifest: --remote-prefix %r: %s" % (args.remote_prefix, path_problem(prefix)), file=sys.stderr)
        return 2

    try:
        entries = manifest_entries(listed_files(folder, patterns, output, prefix), prefix, not args.no_block_index)
    except Refused as refused:
        report_refused(refused, "make_manifest")
        return 1

    data = encode(build_manifest(entries, os.path.basename(output)), args.encoding)
    record = None
    if args.sign_key:
        # Imported only here, so publishing without a signature needs nothing beyond the standard library.
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import sign_release
        try:
            sign_release.check_release_grows(output + ".sig", args.release, args.force, data)
            valid_days = sign_release.DEFAULT_VALID_DAYS if args.valid_days is None else args.valid_days
            files = {remote: os.path.join(folder, *relative.split("\\")) for remote, relative, _, _ in entries}
            record = sign_release.build_record(sign_release.load_private_key(args.sign_key), data, files,
                                               args.release, valid_days=valid_days)
        except (sign_release.SignError, OSError, ValueError) as error:
            print("make_manifest: not signed, nothing written: %s" % error, file=sys.stderr)
            return 1
    # The indexes go in place before the manifest that lists them, so a launcher never finds one missing.
    indexes = [index for _, _, _, index in entries if index is not None]
    for index in indexes:
        block_index.write(output, index)
    write_atomically(output, data)
    print("make_manifest: %d files listed in %s" % (len(entries), output))
    if record is not None:
        write_atomically(output + ".sig", record)
        print("make_manifest: release %d signed in %s.sig" % (args.release, output))
    block_index.prune(output, {block_index.name(index) for index in indexes})
    if indexes:
        print("make_manifest: block indexes of %d files in %s" % (len(indexes), block_index.folder_of(output)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
