"""The picture tests/apps/paint_screen.cpp paints, recomputed on the host.

    Blue = x*7 + y*3, Green = x*5 ^ y*11, Red = (x+y)*13   (each mod 256)

Rows are built with bytes.translate over per-column tables, so even a
2560 x 1600 picture takes a fraction of a second.
"""

from PIL import Image

from bmp_file import row_bytes

_ADD = [bytes((value + shift) & 0xFF for value in range(256)) for shift in range(256)]
_XOR = [bytes(value ^ mask for value in range(256)) for mask in range(256)]


def _channels(width, y, _cache={}):
    if width not in _cache:
        _cache.clear()
        _cache[width] = (bytes((x * 7) & 0xFF for x in range(width)),
                         bytes((x * 5) & 0xFF for x in range(width)),
                         bytes((x * 13) & 0xFF for x in range(width)))
    blue, green, red = _cache[width]
    return (blue.translate(_ADD[(y * 3) & 0xFF]), green.translate(_XOR[(y * 11) & 0xFF]),
            red.translate(_ADD[(y * 13) & 0xFF]))


def painted_rgb(width, height):
    """Top-down RGB bytes of the painted screen."""
    rows = []
    for y in range(height):
        blue, green, red = _channels(width, y)
        row = bytearray(width * 3)
        row[0::3], row[1::3], row[2::3] = red, green, blue
        rows.append(bytes(row))
    return b"".join(rows)


def painted_image(width, height):
    return Image.frombytes("RGB", (width, height), painted_rgb(width, height))


def painted_bmp_rows(width, height):
    """The pixel data of a 24-bit BMP of the painted screen: bottom-up BGR
    rows, each zero-padded to a multiple of 4 bytes."""
    padding = bytes(row_bytes(width) - width * 3)
    rows = []
    for y in reversed(range(height)):
        blue, green, red = _channels(width, y)
        row = bytearray(width * 3)
        row[0::3], row[1::3], row[2::3] = blue, green, red
        rows.append(bytes(row) + padding)
    return b"".join(rows)
