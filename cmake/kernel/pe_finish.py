#!/usr/bin/env python3
"""Finishes a linked kernel driver image in place.

- INIT, the start-up code, is marked discardable: the loader frees it once
  DriverEntry has returned (the GNU assembler has no flag for it).
- The optional header's CheckSum is recomputed, as the loader verifies it.
"""
import struct
import sys

IMAGE_FILE_MACHINE_I386 = 0x014C
PE32_MAGIC = 0x010B
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
DISCARDABLE_SECTIONS = (b"INIT",)


def pe_checksum(image: bytes, checksum_offset: int) -> int:
    """The image checksum: a folded 16-bit sum of the file without its
    CheckSum field, plus the file's length."""
    total = 0
    padded = image + (b"\0" if len(image) % 2 else b"")
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
    for skipped in range(checksum_offset, checksum_offset + 4, 2):
        total -= struct.unpack_from("<H", image, skipped)[0]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(image)


def finish(path: str) -> None:
    with open(path, "rb") as f:
        image = bytearray(f.read())
    if image[:2] != b"MZ":
        sys.exit(f"{path}: not an MZ/PE image")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: no PE signature")
    machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", image, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    if machine != IMAGE_FILE_MACHINE_I386 or magic != PE32_MAGIC:
        sys.exit(f"{path}: not a 32-bit x86 image (machine {machine:#x}, magic {magic:#x})")

    table = optional + optional_size
    for index in range(sections):
        header = table + 40 * index
        name = bytes(image[header:header + 8]).rstrip(b"\0")
        if name in DISCARDABLE_SECTIONS:
            flags = struct.unpack_from("<I", image, header + 36)[0]
            struct.pack_into("<I", image, header + 36, flags | IMAGE_SCN_MEM_DISCARDABLE)

    checksum_offset = optional + 64
    struct.pack_into("<I", image, checksum_offset, 0)
    struct.pack_into("<I", image, checksum_offset, pe_checksum(bytes(image), checksum_offset))
    with open(path, "wb") as f:
        f.write(image)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: pe_finish.py IMAGE")
    finish(sys.argv[1])
