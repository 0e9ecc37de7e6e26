"""The BMP files the drivers save, read field by field on the host, and a
picture comparison that says where two pictures differ."""

import struct

from PIL import Image, ImageChops

HEADER_BYTES = 54
_FIELDS = ("bfSize bfReserved1 bfReserved2 bfOffBits biSize biWidth biHeight biPlanes "
           "biBitCount biCompression biSizeImage biXPelsPerMeter biYPelsPerMeter biClrUsed "
           "biClrImportant").split()


def row_bytes(width):
    """A stored row: 3 bytes a pixel, zero-padded to a multiple of 4."""
    return (width * 3 + 3) & ~3


def file_length(width, height):
    return HEADER_BYTES + row_bytes(width) * height


def check_header(data, name="picture"):
    """Asserts data is a complete 24-bit uncompressed BMP as the drivers
    write it (every header field, length equal to bfSize); returns its
    (width, height)."""
    assert data is not None, f"no {name}"
    assert data[:2] == b"BM", f"{name}: bfType {data[:2]!r}"
    header = dict(zip(_FIELDS, struct.unpack_from("<IHHIIiiHHIIiiII", data, 2)))
    width, height = header["biWidth"], header["biHeight"]
    assert width > 0 and height > 0, f"{name}: {width} x {height}"
    stride = row_bytes(width)
    # biSizeImage may be 0 for uncompressed pictures.
    assert header.pop("biSizeImage") in (0, stride * height), name
    assert header == dict(bfSize=file_length(width, height), bfReserved1=0, bfReserved2=0,
                          bfOffBits=HEADER_BYTES, biSize=40, biWidth=width, biHeight=height,
                          biPlanes=1, biBitCount=24, biCompression=0, biXPelsPerMeter=2834,
                          biYPelsPerMeter=2834, biClrUsed=0, biClrImportant=0), name
    assert len(data) == file_length(width, height), f"{name}: {len(data)} bytes, not bfSize"
    return width, height


def decode(data, name="picture"):
    """The picture of a checked BMP as a top-down RGB image (the file stores
    rows bottom-up, blue-green-red); asserts that the row padding is zero."""
    width, height = check_header(data, name)
    stride = row_bytes(width)
    lines = []
    for stored in range(height):
        row = data[HEADER_BYTES + stored * stride:][:stride]
        assert not any(row[width * 3:]), f"{name}: padding of stored row {stored} is not zero"
        lines.append(row[:width * 3])
    return Image.frombytes("RGB", (width, height), b"".join(reversed(lines)), "raw", "BGR")


def assert_same_picture(actual, expected, what):
    assert actual.size == expected.size, f"{what}: {actual.size} instead of {expected.size}"
    box = ImageChops.difference(actual.convert("RGB"), expected).getbbox()
    assert box is None, f"{what} differs within {box}"
