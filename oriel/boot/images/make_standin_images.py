#!/usr/bin/env python3
"""Writes the three stand-in loader images that the build embeds by default.

The handset's real pre-loader and boot-loaders cannot be shipped, so the
program carries stand-ins of the exact sizes. Each file starts with an ASCII
banner that names it as a stand-in (so a memory dump shows what it is) and is
filled with a fixed xorshift32 sequence, so the bytes are deterministic but
far from uniform: a single corrupted byte changes any checksum over them.

The committed .bin files are what the build uses; this script only documents
how they were made and can regenerate them byte for byte:

    python3 make_standin_images.py [OUTPUT_DIR]
"""

import os
import sys

IMAGES = [
    # file name, size, xorshift seed, banner
    ("preloader.bin", 1860, 0x0C000000, "ORIEL stand-in pre-loader (SCRAM 0x0C000000)"),
    ("bootloader_full.bin", 318508, 0x18000000, "ORIEL stand-in boot-loader, full (RAM 0x18000000)"),
    ("bootloader_fast.bin", 5480, 0x18001000, "ORIEL stand-in boot-loader, fast (RAM 0x18000000)"),
]


def xorshift32(state):
    state ^= (state << 13) & 0xFFFFFFFF
    state ^= state >> 17
    state ^= (state << 5) & 0xFFFFFFFF
    return state


def make_image(size, seed, banner):
    text = (banner + " -- not a device program\0").encode("ascii")
    out = bytearray(text[:size])
    state = seed or 1
    while len(out) < size:
        state = xorshift32(state)
        out += state.to_bytes(4, "little")
    return bytes(out[:size])


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, size, seed, banner in IMAGES:
        data = make_image(size, seed, banner)
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)
        print(f"{name}: {len(data)} bytes, 8-bit sum 0x{sum(data) & 0xFF:02X}")


if __name__ == "__main__":
    main()
