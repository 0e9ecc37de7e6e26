"""A small reader of PE/COFF headers (Microsoft's PE/COFF format): what
the firmware's image loader looks at before it runs an .efi file."""

import struct
from dataclasses import dataclass, field

MACHINES = {0x8664: "x64", 0x14C: "ia32", 0xAA64: "aa64"}
PE32, PE32_PLUS = 0x10B, 0x20B
SUBSYSTEM_APPLICATION, SUBSYSTEM_BOOT_SERVICE_DRIVER = 10, 11
DIRECTORY_BASE_RELOCATION, DIRECTORY_SECURITY = 5, 4


@dataclass
class Section:
    name: str
    virtual_size: int
    virtual_address: int
    raw_size: int
    raw_pointer: int


@dataclass
class PeImage:
    machine: int
    magic: int
    subsystem: int
    size_of_image: int
    size_of_headers: int
    checksum: int
    directories: list = field(default_factory=list)  # (rva, size) pairs
    sections: list = field(default_factory=list)

    @property
    def arch(self):
        return MACHINES.get(self.machine)

    def section(self, name):
        return next((s for s in self.sections if s.name == name), None)


def read_pe(data: bytes) -> PeImage:
    """Parses the headers of an image; ValueError when it is not a PE file."""
    if data[:2] != b"MZ":
        raise ValueError("no MZ signature")
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe_offset:pe_offset + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    coff = pe_offset + 4
    machine, section_count, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, coff)
    optional = coff + 20
    (magic,) = struct.unpack_from("<H", data, optional)
    if magic == PE32:
        windows = optional + 28
        size_of_image, size_of_headers, checksum, subsystem = struct.unpack_from(
            "<IIIH", data, windows + 28)
        directory_count_at = windows + 64
    elif magic == PE32_PLUS:
        windows = optional + 24
        size_of_image, size_of_headers, checksum, subsystem = struct.unpack_from(
            "<IIIH", data, windows + 32)
        directory_count_at = windows + 84
    else:
        raise ValueError(f"unknown optional header magic {magic:#x}")
    (directory_count,) = struct.unpack_from("<I", data, directory_count_at)
    directories = [struct.unpack_from("<II", data, directory_count_at + 4 + 8 * i)
                   for i in range(directory_count)]
    image = PeImage(machine, magic, subsystem, size_of_image, size_of_headers, checksum,
                    directories)
    table = optional + optional_size
    for i in range(section_count):
        raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
        name = raw[0].rstrip(b"\0").decode("ascii", "replace")
        image.sections.append(Section(name, *raw[1:]))
    return image


if __name__ == "__main__":
    import sys

    for name in sys.argv[1:]:
        with open(name, "rb") as f:
            pe = read_pe(f.read())
        kind = "PE32+" if pe.magic == PE32_PLUS else "PE32"
        print(f"{name}: {pe.arch} {kind} subsystem {pe.subsystem} "
              f"sections {' '.join(s.name for s in pe.sections)} "
              f"relocations {pe.directories[DIRECTORY_BASE_RELOCATION]}")
