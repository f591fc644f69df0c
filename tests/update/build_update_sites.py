#!/usr/bin/env python3
"""Builds the update sites the update tests download from: a few client files and the up.ini that the
manifest generator writes for them.

Usage: build_update_sites.py MAKE_MANIFEST OUTPUT_DIR

OUTPUT_DIR/good     the files and their manifest
OUTPUT_DIR/corrupt  the same manifest, but the third listed file changed after the manifest was made
OUTPUT_DIR/linked-client  a client folder whose "Data" is a symbolic link to OUTPUT_DIR/link-target (Windows
                    programs under Wine cannot make one themselves)
"""
import configparser
import pathlib
import shutil
import subprocess
import sys


def pattern(size, seed):
    return bytes((i * 131 + i // 977 + seed) & 0xFF for i in range(size))


# Five files, so a failure can hit "the third of five"; the launcher is not last in manifest order, so the
# install order has to move it.
FILES = {
    "Data/Local/a b.txt": b"spaces travel percent-encoded\r\n",
    "Data/Player/player.bmd": pattern(150000, 1),
    "Data/\u5730\u56fe/lorencia.map": pattern(70000, 2),
    "Launcher.exe": b"MZ the next launcher" + pattern(5000, 3),
    "Main.exe": b"MZ the game client" + pattern(90000, 4),
}


def third_listed_file(site):
    manifest = configparser.ConfigParser(interpolation=None)
    manifest.optionxform = str
    raw = (site / "up.ini").read_bytes()
    for encoding in ("utf-16", "utf-8-sig"):
        try:
            manifest.read_string(raw.decode(encoding))
            break
        except (UnicodeError, configparser.Error):
            continue
    return manifest["up"]["File3"].replace("\\", "/").lstrip("/")


def main():
    generator, output = sys.argv[1], pathlib.Path(sys.argv[2])
    shutil.rmtree(output, ignore_errors=True)
    good = output / "good"
    for name, data in FILES.items():
        path = good / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    subprocess.run([sys.executable, generator, str(good), "-o", str(good / "up.ini")], check=True)

    corrupt = output / "corrupt"
    shutil.copytree(good, corrupt)
    victim = corrupt / third_listed_file(corrupt)
    victim.write_bytes(victim.read_bytes() + b"changed after the manifest was made")
    (output / "link-target").mkdir()
    (output / "linked-client").mkdir()
    (output / "linked-client" / "Data").symlink_to("../link-target", target_is_directory=True)
    print("update sites ready in", output)


if __name__ == "__main__":
    main()
