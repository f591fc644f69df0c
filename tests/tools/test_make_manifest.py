#!/usr/bin/env python3
"""The manifest tool's block indexes, on real folders: which files get one, what an index holds, where it lies,
how the manifest lists it, and that nothing else is touched. (The launcher reading them: tests/update.)"""
import contextlib
import hashlib
import io
import os
import pathlib
import re
import struct
import sys
import tempfile
import unittest
import zlib

TOOLS = pathlib.Path(__file__).resolve().parents[2] / "tools"
sys.path.insert(0, str(TOOLS))
import block_index  # noqa: E402
import make_manifest  # noqa: E402


def run(*argv):
    """The tool's exit status and what it wrote to stderr."""
    errors = io.StringIO()
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(errors):
        status = make_manifest.main([str(a) for a in argv])
    return status, errors.getvalue()


def blocks_section(manifest):
    text = manifest.read_text(encoding="utf-8-sig")
    return dict(re.findall(r"^Index(\d+)=(.*)$", text.split("[Blocks]")[1], re.M)) if "[Blocks]" in text else {}


class BlockIndexTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory(prefix="vorn-manifest-test-")
        self.site = pathlib.Path(self.work.name) / "site"
        (self.site / "Data").mkdir(parents=True)
        self.big = os.urandom(3 * 1024 * 1024 + 5)
        (self.site / "Data" / "big.pak").write_bytes(self.big)
        (self.site / "almost.bin").write_bytes(os.urandom(block_index.THRESHOLD - 1))
        (self.site / "small.bin").write_bytes(b"small")
        self.manifest = self.site / "up.ini"
        self.indexes = self.site / "up.ini.blocks"

    def tearDown(self):
        self.work.cleanup()

    def test_a_large_file_gets_an_index_the_manifest_lists_by_size_and_digest(self):
        self.assertEqual(run(self.site), (0, ""))
        values = blocks_section(self.manifest)
        self.assertEqual(list(values), ["2"])  # entry 2 is Data/big.pak, in path order after almost.bin
        size, digest, site_path = values["2"].split(" ")
        index = (self.site / site_path).read_bytes()
        self.assertEqual((int(size), digest), (len(index), hashlib.sha256(index).hexdigest()))
        self.assertEqual(site_path, "up.ini.blocks/" + digest)

        magic, file_size, block, crc = struct.unpack("<8sQII", index[:24])
        self.assertEqual((magic, file_size, block, crc), (b"VORNBLK1", len(self.big), 8192, zlib.crc32(self.big)))
        records = [index[24 + 12 * i:36 + 12 * i] for i in range((len(index) - 24) // 12)]
        self.assertEqual(len(records), 385)  # 384 blocks of 8 KiB and one of 5 bytes
        for number in (0, 200, 384):
            piece = self.big[number * 8192:(number + 1) * 8192]
            weak, low, high = struct.unpack("<III", records[number])
            self.assertEqual(weak, zlib.adler32(piece))
            residue = [0, 0]
            for byte in piece:
                residue = [(r * 256 + byte) % p for r, p in zip(residue, block_index.STRONG_PRIMES)]
            self.assertEqual([low, high], residue)

    def test_indexes_follow_the_files_and_nothing_else_in_their_folder_is_touched(self):
        self.assertEqual(run(self.site)[0], 0)
        first = blocks_section(self.manifest)["2"].split(" ")[1]
        (self.indexes / "README").write_text("the operator's own note")
        # A second run does not list the indexes as client files and writes the same one again.
        self.assertEqual(run(self.site)[0], 0)
        self.assertIn("Count=3", self.manifest.read_text())
        self.assertEqual(blocks_section(self.manifest)["2"].split(" ")[1], first)
        # A changed file gets a new index; the old one, no longer listed, goes.
        (self.site / "Data" / "big.pak").write_bytes(self.big[:-1] + b"!")
        self.assertEqual(run(self.site)[0], 0)
        second = blocks_section(self.manifest)["2"].split(" ")[1]
        self.assertNotEqual(second, first)
        self.assertEqual(sorted(os.listdir(self.indexes)), sorted(["README", second]))
        # Without indexes: no section, and no index left.
        self.assertEqual(run(self.site, "--no-block-index")[0], 0)
        self.assertEqual(blocks_section(self.manifest), {})
        self.assertEqual(os.listdir(self.indexes), ["README"])

    def test_a_refused_signature_writes_no_index_either(self):
        status, errors = run(self.site, "--sign-key", self.site / "no-such-key.pem", "--release", "1")
        self.assertEqual(status, 1)
        self.assertIn("nothing written", errors)
        self.assertFalse(self.manifest.exists())
        self.assertFalse(self.indexes.exists())

    def test_the_block_grows_so_the_launcher_can_hold_every_index(self):
        self.assertEqual(block_index.block_size(4 << 30), 8192)
        self.assertEqual(block_index.block_size((4 << 30) + 1), 16384)
        self.assertEqual(block_index.block_size(512 << 30), 1 << 20)
        self.assertIsNone(block_index.block_size((512 << 30) + 1))
        self.assertFalse(block_index.indexed((512 << 30) + 1))


if __name__ == "__main__":
    unittest.main()
