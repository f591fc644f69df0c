#!/usr/bin/env python3
"""Makes a sample game client folder and the update site that brings it up to date, for the demo and the
end-to-end tests:

  ROOT/client/          the launcher, the stand-in game as Main.exe, a few data files, one of them out of date
  ROOT/site/updates/    the published client (what the update base URL http://127.0.0.1/updates/ names) with
                        its manifest up.ini, made by tools/make_manifest.py
  ROOT/regions.tsv      three regions for tools/vorn_service.py, on its first and second --auth-port listeners

Usage: sample_client.py ROOT BIN_DIR [--big-file-kib N]
BIN_DIR holds VornLauncher.exe and stand_in_game.exe (the i686 build's bin folder)."""
import argparse
import os
import pathlib
import shutil
import subprocess
import sys

TOOLS = pathlib.Path(__file__).resolve().parents[2] / "tools"

REGIONS = ("1\t岚谷一区\t{host}\t{auth0}\tpvp\n"
           "2\t青云二区\t{host}\t{auth1}\t\n"
           "3\t天穹三区\t{host}\t{auth0}\tnew\n")

# Client path -> (content in the client folder or None when missing, content published on the site).
DATA_FILES = {
    "Data/Config/client.ini": (b"[Client]\nVersion=2.62.80\n", b"[Client]\nVersion=2.62.81\nPatch=13.8\n"),
    "Data/Maps/岚谷.map": (b"MAP1" + bytes(range(256)) * 16, b"MAP1" + bytes(range(256)) * 16),
    "Readme.txt": (b"Vorn sample client\n", b"Vorn sample client\n"),
}
BIG_FILE = "Data/Music/theme.bin"


def big_content(kib):
    return bytes((i * 7 + i // 251) & 0xFF for i in range(kib * 1024))


def write(path, content):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(content)


def make(root, bin_dir, big_file_kib=0, site_launcher=None, launcher=None):
    """Builds the folders under `root`; `site_launcher` (bytes) publishes a launcher executable on the site;
    `launcher` (a path) puts another build of the launcher into the client than BIN_DIR's."""
    root = pathlib.Path(root)
    bin_dir = pathlib.Path(bin_dir)
    client = root / "client"
    site = root / "site" / "updates"
    for folder in (client, site):
        if folder.exists():
            shutil.rmtree(folder)
        folder.mkdir(parents=True)
    shutil.copyfile(launcher or bin_dir / "VornLauncher.exe", client / "VornLauncher.exe")
    shutil.copyfile(bin_dir / "stand_in_game.exe", client / "Main.exe")
    shutil.copyfile(bin_dir / "stand_in_game.exe", site / "Main.exe")
    for relative, (old, new) in DATA_FILES.items():
        if old is not None:
            write(client / relative, old)
        write(site / relative, new)
    if big_file_kib:
        write(site / BIG_FILE, big_content(big_file_kib))
    if site_launcher is not None:
        write(site / "VornLauncher.exe", site_launcher)
    (root / "regions.tsv").write_text(REGIONS, encoding="utf-8")
    subprocess.run([sys.executable, str(TOOLS / "make_manifest.py"), str(site)], check=True,
                   stdout=subprocess.DEVNULL)
    return client, site


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("root")
    parser.add_argument("bin_dir")
    parser.add_argument("--big-file-kib", type=int, default=0)
    args = parser.parse_args()
    client, site = make(args.root, args.bin_dir, args.big_file_kib)
    print("client folder: %s\nupdate site:   %s" % (os.path.abspath(client), os.path.abspath(site)))


if __name__ == "__main__":
    main()
