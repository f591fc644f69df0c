#!/usr/bin/env python3
"""Makes the stand-in for the 178 bytes the launcher keeps in the game's connection file
"Data\\Local\\Connect.msil". The launcher never interprets them; it only writes them and compares them byte for
byte. A release carries the game's real block (the build setting VORN_CONNECT_BLOCK_FILE names it); tests and the
demo use this stand-in, made deterministically from a fixed seed, so running the tool again gives the same bytes.
The game cannot use them.

    python3 tools/make_connect_block.py launch/connect_block_standin.hex   # what a build without a block reads
    python3 tools/make_connect_block.py --binary sample.block              # the same 178 bytes as a raw file
"""
import argparse
import hashlib

SIZE = 178
SEED = b"vorn-launcher connection block, revision 1"
HEX_PER_LINE = 48


def block_bytes():
    """SHA-256 in counter mode over the seed, cut to SIZE bytes."""
    out = bytearray()
    counter = 0
    while len(out) < SIZE:
        out += hashlib.sha256(SEED + counter.to_bytes(4, "big")).digest()
        counter += 1
    return bytes(out[:SIZE])


def render_hex(data):
    digits = data.hex()
    lines = [digits[at:at + HEX_PER_LINE] for at in range(0, len(digits), HEX_PER_LINE)]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description="Writes the stand-in connection block (tests and demo only).")
    parser.add_argument("output", help="file to write")
    parser.add_argument("--binary", action="store_true", help="write the 178 raw bytes instead of hexadecimal text")
    args = parser.parse_args()
    data = block_bytes()
    if args.binary:
        with open(args.output, "wb") as f:
            f.write(data)
    else:
        with open(args.output, "w", encoding="ascii", newline="\n") as f:
            f.write(render_hex(data))


if __name__ == "__main__":
    main()
