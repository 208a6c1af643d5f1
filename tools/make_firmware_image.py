#!/usr/bin/env python3
"""Writes a deterministic sample firmware image of 625900 bytes for address 0x08000000.

It starts with a Cortex-M vector table and carries, at offset 0x200, a firmware
information block: begin marker 12 47 23 01, product type and three extra bytes,
a 32-byte name, a 32-byte revision, 64-byte key/value pairs and the end marker
13 47 23 01.
"""
import argparse
import struct

SIZE = 625900
BLOCK_OFFSET = 0x200
PRODUCT_TYPE = 0x04  # DAVO, "Kelvora Lx-21"
NAME = "Lx-21 main firmware"
REVISION = "2.4.1"
DETAILS = [
    ("Build date", "2026-10-14"),
    ("Hardware", "Lx-21 rev. C"),
    ("Bootloader", "1.2.0"),
    ("Toolchain", "arm-none-eabi-gcc 12.2"),
]


def field(text):
    raw = text.encode("utf-8")
    assert len(raw) <= 31, text
    return raw + b"\0" * (32 - len(raw))


def main(path):
    image = bytearray()
    # Vector table: initial stack pointer, then handlers in flash (thumb bit set).
    image += struct.pack("<I", 0x20020000)
    for i in range(1, 98):
        image += struct.pack("<I", 0x08000400 + 8 * i + 1)
    image += b"\xff" * (BLOCK_OFFSET - len(image))

    block = bytes([0x12, 0x47, 0x23, 0x01, PRODUCT_TYPE, 0xFF, 0xFF, 0xFF])
    block += field(NAME) + field(REVISION)
    for key, value in DETAILS:
        block += field(key) + field(value)
    block += bytes([0x13, 0x47, 0x23, 0x01])
    image += block

    # Code and data: a fixed linear congruential sequence, then erased flash at the end.
    state = 0x4B454C56
    body_end = SIZE - 3068
    while len(image) < body_end:
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        image += struct.pack("<I", state)
    del image[body_end:]
    image += b"\xff" * (SIZE - len(image))

    for marker in (b"\x12\x47\x23\x01", b"\x13\x47\x23\x01"):
        assert image.find(marker) >= BLOCK_OFFSET, "marker found before the block"
    assert len(image) == SIZE
    with open(path, "wb") as f:
        f.write(image)


def parse_arguments():
    parser = argparse.ArgumentParser(
        description="Writes the deterministic sample firmware image (%d bytes, for address "
        "0x08000000) with its firmware information block at offset 0x%X." % (SIZE, BLOCK_OFFSET))
    parser.add_argument("output", help="the image file to write (replaced when it exists)")
    return parser.parse_args()


if __name__ == "__main__":
    main(parse_arguments().output)
