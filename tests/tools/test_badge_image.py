"""The committed badge is current, is a well-formed cursor file, and keeps
its opaque pixels inside the caption and picture bands the driver expects."""

import importlib
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
GENERATOR = ROOT / "tools" / "badge" / "make_badge.py"
CPP = ROOT / "hotkey" / "badge_image.cpp"
CAPTION_ROWS = range(4, 15)
PICTURE_ROWS = range(21, 53)


def load_generator():
    """The generator as a module, so a test can call its builders directly."""
    if str(GENERATOR.parent) not in sys.path:
        sys.path.insert(0, str(GENERATOR.parent))
    return importlib.import_module(GENERATOR.stem)


def committed_bytes():
    body = re.search(r"BadgeImage\[BadgeImageSize\] = \{(.*?)\};", CPP.read_text(), re.S)
    return bytes(int(value, 16) for value in re.findall(r"0x([0-9a-f]{2})", body.group(1)))


def test_check_passes_on_committed_file_and_fails_on_stale_one(tmp_path, monkeypatch):
    run = subprocess.run([sys.executable, str(GENERATOR), "--check"], capture_output=True,
                         text=True)
    assert run.returncode == 0, run.stderr

    generator = load_generator()
    stale = tmp_path / "badge_image.cpp"
    stale.write_text(CPP.read_text().replace("0x28, 0x32", "0x28, 0x33", 1))
    monkeypatch.setattr(generator, "CPP_PATH", stale)
    assert generator.main(["--check"]) == 1


def test_header_fields():
    data = committed_bytes()
    header_size = re.search(r"BadgeImageSize = (\d+);", (ROOT / "hotkey" / "badge_image.h")
                            .read_text())
    assert len(data) == int(header_size.group(1)) == 12862
    fields = [  # offset, format, value, name
        (0, "<H", 0, "reserved"), (2, "<H", 2, "resource type"), (4, "<H", 1, "image count"),
        (6, "<B", 64, "width"), (7, "<B", 64, "height"), (8, "<B", 0, "colour count"),
        (9, "<B", 0, "reserved"), (10, "<H", 0, "hot spot x"), (12, "<H", 0, "hot spot y"),
        (14, "<I", 12840, "image data size"), (18, "<I", 22, "image data offset"),
        (22, "<I", 40, "biSize"), (26, "<i", 64, "biWidth"), (30, "<i", 128, "biHeight"),
        (34, "<H", 1, "biPlanes"), (36, "<H", 24, "biBitCount"), (38, "<I", 0, "biCompression"),
        (42, "<I", 12840, "biSizeImage"), (46, "<i", 0, "biXPelsPerMeter"),
        (50, "<i", 0, "biYPelsPerMeter"), (54, "<I", 0, "biClrUsed"),
        (58, "<I", 0, "biClrImportant"),
    ]
    wrong = [(name, struct.unpack_from(fmt, data, offset)[0], value)
             for offset, fmt, value, name in fields
             if struct.unpack_from(fmt, data, offset)[0] != value]
    assert wrong == []


def test_opaque_pixels_only_in_caption_and_picture_bands():
    data = committed_bytes()
    opaque_rows = {}
    for top_row in range(64):
        stored = 63 - top_row  # both planes are stored bottom row first
        colours = data[62 + stored * 192:][:192]
        mask = data[12350 + stored * 8:][:8]
        for x in range(64):
            transparent = mask[x // 8] >> (7 - x % 8) & 1
            if transparent:
                assert colours[3 * x:3 * x + 3] == b"\0\0\0", (x, top_row)
            else:
                opaque_rows[top_row] = opaque_rows.get(top_row, 0) + 1
    assert set(opaque_rows) <= set(CAPTION_ROWS) | set(PICTURE_ROWS)
    assert sum(opaque_rows.get(row, 0) for row in CAPTION_ROWS) > 60
    assert sum(opaque_rows.get(row, 0) for row in PICTURE_ROWS) > 400


@pytest.mark.parametrize("row, char, message", [
    (3, "K", "row 3 must stay transparent"),
    (15, "K", "row 15 must stay transparent"),
    (20, "K", "row 20 must stay transparent"),
    (53, "K", "row 53 must stay transparent"),
    (30, "Z", "'Z' is not in the palette"),
])
def test_generator_rejects_bad_artwork(row, char, message):
    generator = load_generator()
    rows = ["." * 64] * 64
    rows[row] = "." * 10 + char + "." * 53
    with pytest.raises(generator.BadgeError, match=re.escape(message)):
        generator.parse_grid("K = 000000  outline\n" + "\n".join(rows) + "\n")
