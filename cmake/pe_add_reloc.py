#!/usr/bin/python3
"""Gives an image cut with `objcopy -O binary` from gnu-efi's aarch64 crt0 the
base relocation section the x64 and ia32 images have.

  pe_add_reloc.py IMAGE

That crt0 writes a PE/COFF header with a .text and a .data section and an
empty base relocation directory; the image relocates itself (crt0 applies the
ELF relocations at start-up). Like gnu-efi's x86 crt0s, this adds a .reloc
section holding one block of two IMAGE_REL_BASED_ABSOLUTE (no-op) entries, so
loaders and signing tools that look for a relocation directory find one. The
bytes the cut leaves after the last section (the ELF symbol table, never
loaded) are dropped. Runs in place; an image that has a .reloc is left as it is.
"""

import struct
import sys

SECTION_HEADER = struct.Struct("<8sIIIIIIHHI")
RELOC_CHARACTERISTICS = 0x42000040  # initialized data, discardable, readable
BASE_RELOCATION_DIRECTORY = 5


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def add_reloc(data: bytearray) -> bytearray:
    if data[:2] != b"MZ":
        raise ValueError("no MZ signature")
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    coff = pe + 4
    sections_at, optional_size_at = coff + 2, coff + 16
    (section_count,) = struct.unpack_from("<H", data, sections_at)
    (optional_size,) = struct.unpack_from("<H", data, optional_size_at)
    optional = coff + 20
    (magic,) = struct.unpack_from("<H", data, optional)
    if magic != 0x20B:
        raise ValueError("not a PE32+ image")
    section_alignment, file_alignment = struct.unpack_from("<II", data, optional + 32)
    size_of_image_at = optional + 56
    size_of_headers, = struct.unpack_from("<I", data, optional + 60)
    (directory_count,) = struct.unpack_from("<I", data, optional + 108)
    if directory_count <= BASE_RELOCATION_DIRECTORY:
        raise ValueError("no base relocation directory entry in the header")
    directory_at = optional + 112 + 8 * BASE_RELOCATION_DIRECTORY

    table = optional + optional_size
    sections = [SECTION_HEADER.unpack_from(data, table + i * SECTION_HEADER.size)
                for i in range(section_count)]
    if any(s[0].rstrip(b"\0") == b".reloc" for s in sections):
        return data
    new_header_at = table + section_count * SECTION_HEADER.size
    if new_header_at + SECTION_HEADER.size > size_of_headers:
        raise ValueError("no room for another section header")

    end_of_raw = max(s[4] + s[3] for s in sections)   # PointerToRawData + SizeOfRawData
    end_of_image = max(s[2] + align(s[1], section_alignment) for s in sections)
    first_page = min(s[2] for s in sections)

    # One block: page RVA, block size, two absolute entries (offset 0).
    block = struct.pack("<IIHH", first_page, 12, 0, 0)
    reloc_rva = align(end_of_image, section_alignment)
    reloc_raw = align(end_of_raw, file_alignment)
    reloc_raw_size = align(len(block), file_alignment)

    out = bytearray(data[:reloc_raw].ljust(reloc_raw, b"\0"))
    out += block.ljust(reloc_raw_size, b"\0")
    SECTION_HEADER.pack_into(out, new_header_at, b".reloc", len(block), reloc_rva,
                             reloc_raw_size, reloc_raw, 0, 0, 0, 0, RELOC_CHARACTERISTICS)
    struct.pack_into("<H", out, sections_at, section_count + 1)
    struct.pack_into("<I", out, size_of_image_at,
                     reloc_rva + align(len(block), section_alignment))
    struct.pack_into("<II", out, directory_at, reloc_rva, len(block))
    return out


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    path = sys.argv[1]
    with open(path, "rb") as image:
        data = bytearray(image.read())
    try:
        data = add_reloc(data)
    except ValueError as error:
        sys.exit(f"{path}: {error}")
    with open(path, "wb") as image:
        image.write(data)


if __name__ == "__main__":
    main()
