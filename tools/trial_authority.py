#!/usr/bin/env python3
"""Makes a private certificate authority and a certificate it signed for the update site, to try the whole chain
(nginx over HTTPS, a player's launcher that checks the certificate) before buying a real certificate.

Usage: trial_authority.py FOLDER HOST [HOST ...] [--days N]

Writes into FOLDER (made if missing; existing files are never overwritten):
  ca.pem                  the authority, for the trial players' machines to trust (Windows: certutil -addstore
                          Root ca.pem as administrator; Wine: trust_root.exe ca.pem, inside the player's prefix)
  site.pem, site.key      the site's certificate for the HOST names (the update address's host; an address is
                          taken as well) and its key, for nginx's ssl_certificate and ssl_certificate_key

The authority's own key is thrown away once it signed, so it can sign nothing else. The certificates are valid for
--days days (default 30). Before going live, replace site.pem and site.key with a certificate of a public
authority and remove the trial authority from every machine that trusted it."""
import argparse
import os
import pathlib
import sys
import tempfile

import test_certificates

OUTPUTS = ("ca.pem", "site.pem", "site.key")


def make(folder, hosts, days=30):
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    existing = [name for name in OUTPUTS if (folder / name).exists()]
    if existing:
        raise SystemExit("trial_authority.py: %s already holds %s; give an empty folder"
                         % (folder, ", ".join(existing)))
    with tempfile.TemporaryDirectory(prefix="vorn-trial-ca-") as work:
        work = pathlib.Path(work)
        test_certificates.make_authority(work, "ca", "Vorn trial authority for " + hosts[0], days)
        test_certificates.make_request(work, "site", hosts[0])
        test_certificates.sign(work, "ca", "site", test_certificates.alt_names(hosts), request="site", days=days)
        key = os.open(folder / "site.key", os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(key, "wb") as stream:
            stream.write((work / "site.key").read_bytes())
        for name in ("ca.pem", "site.pem"):
            (folder / name).write_bytes((work / name).read_bytes())
    return folder


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0], epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder")
    parser.add_argument("hosts", nargs="+", metavar="HOST")
    parser.add_argument("--days", type=int, default=30, help="validity in days (default 30)")
    args = parser.parse_args()
    if not 1 <= args.days <= 825:
        parser.error("--days is 1 to 825")
    folder = make(args.folder, args.hosts, args.days)
    print("trial authority: %s (trust it on the trial players' machines only)" % (folder / "ca.pem"))
    print("site certificate: %s and %s" % (folder / "site.pem", folder / "site.key"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
