"""Block indexes of large files, published beside the manifest, so that a launcher holding an older copy of a
file downloads only the blocks it lacks (the launcher's side: update/block_index.h, update/block_matcher.h).

An index is little-endian binary:
  8 bytes  b"VORNBLK1"
  8 bytes  the file's size
  4 bytes  the block size: 8 KiB, doubled for files of more than 2^19 blocks
  4 bytes  the CRC-32 of the whole file (the manifest's XYZ<n>)
  12 bytes per block (the last one may be shorter): its Adler-32 (zlib's), then the block read as one big-endian
           number modulo 1073741789 and modulo 1073741783 (4 bytes each)
It is written to <manifest>.blocks/<its SHA-256> beside the manifest, and the manifest lists it for entry n as
  [Blocks]  Index<n>=<index size> <index SHA-256> <site path of the index>
Launchers that do not know block indexes read neither that section nor that folder; a signed release covers each
index through the manifest's bytes, which hold its SHA-256.
"""
import hashlib
import os
import re
import struct
import zlib

from atomic_file import write_atomically

# Measured (bench/range_probe.py, nginx through a line model, one changed region of 64 KiB): on a line of 20 ms
# and 12 MiB/s a whole file of 128 KiB took 0.033 s and block reuse 0.053 s (the index and the ranges are two
# round trips), 512 KiB 0.063 against 0.050 s, 1 MiB 0.105 against 0.052 s; on 50 ms and 2 MiB/s 1 MiB took 0.55
# against 0.14 s. Below 1 MiB the gain is a few hundredths of a second while every index adds a line to the
# manifest that every player fetches at every start.
THRESHOLD = 1 << 20
# Measured (bench/block_match_bench.sh): 8 KiB keeps the index at 0.15% of the file and fetches 1.9 times the
# changed bytes for 16 changed regions of 64 KiB in 512 MiB; 4 KiB doubles the index, 16 KiB doubles what a
# patch of many small changes costs.
BLOCK = 8 << 10
# The launcher's caps (update/block_index.h): at most 2^19 blocks of at most 1 MiB.
MAX_BLOCKS = 1 << 19
MAX_BLOCK = 1 << 20
HEADER = struct.Struct("<8sQII")
RECORD = 12
MAX_INDEX_BYTES = HEADER.size + MAX_BLOCKS * RECORD
MAGIC = b"VORNBLK1"
STRONG_PRIMES = (1073741789, 1073741783)
READ = 1 << 20
SECTION = "Blocks"
NAME = re.compile(r"^[0-9a-f]{64}$")


def block_size(size):
    """The block size of a file of `size` bytes, or None when the launcher could not hold its index."""
    block = BLOCK
    while -(-size // block) > MAX_BLOCKS:
        block *= 2
    return block if block <= MAX_BLOCK else None


def indexed(size):
    return size >= THRESHOLD and block_size(size) is not None


def make(path):
    """(CRC-32, index bytes) of the file at path, from one read of it."""
    block = block_size(os.path.getsize(path))
    records = []
    crc = 0
    size = 0
    with open(path, "rb") as stream:
        while True:
            data = stream.read(READ)
            if not data:
                break
            crc = zlib.crc32(data, crc)
            size += len(data)
            for at in range(0, len(data), block):
                piece = data[at:at + block]
                number = int.from_bytes(piece, "big")
                records.append(struct.pack("<III", zlib.adler32(piece), number % STRONG_PRIMES[0],
                                           number % STRONG_PRIMES[1]))
    return crc, HEADER.pack(MAGIC, size, block, crc) + b"".join(records)


def describes(index, size, crc):
    """Whether `index` is the index of a file of `size` bytes with the CRC-32 `crc`, by its header."""
    if len(index) < HEADER.size:
        return False
    magic, file_size, _, file_crc = HEADER.unpack_from(index)
    return (magic, file_size, file_crc) == (MAGIC, size, crc)


def folder_of(manifest_path):
    return manifest_path + ".blocks"


def name(index):
    """The index's file name in the folder: its SHA-256."""
    return hashlib.sha256(index).hexdigest()


def value(manifest_path, index):
    """The manifest's value for the index: its size, its SHA-256 and its site path."""
    digest = name(index)
    return "%d %s %s/%s" % (len(index), digest, os.path.basename(folder_of(manifest_path)), digest)


def write(manifest_path, index):
    """Puts the index into the manifest's folder of indexes, unless it is there already."""
    folder = folder_of(manifest_path)
    os.makedirs(folder, exist_ok=True)
    target = os.path.join(folder, name(index))
    if not (os.path.isfile(target) and os.path.getsize(target) == len(index)):
        write_atomically(target, index)


def prune(manifest_path, kept):
    """Removes the indexes the manifest no longer lists, `kept` being the names of those it lists (index names
    only: nothing else in the folder is ours)."""
    folder = folder_of(manifest_path)
    if not os.path.isdir(folder):
        return
    for entry in os.listdir(folder):
        if NAME.match(entry) and entry not in kept:
            os.unlink(os.path.join(folder, entry))
    if not os.listdir(folder):
        os.rmdir(folder)


def listed_names(blocks):
    """The names of the indexes a manifest lists: `blocks` maps the keys of its [Blocks] section to their values."""
    names = (value.rsplit("/", 1)[-1] for value in blocks.values())
    return {name for name in names if NAME.match(name)}


def section(values):
    """The manifest lines of the indexes: `values` maps an entry's number to its index's value."""
    if not values:
        return []
    return ["[%s]" % SECTION] + ["Index%d=%s" % (n, values[n]) for n in sorted(values)]
