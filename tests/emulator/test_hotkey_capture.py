"""HotKeyCapture.efi on OVMF: with HotKeyProvider.efi loaded first (OVMF has
no hot-key protocol of its own), every Ctrl+Alt+F9, with either Ctrl and
either Alt, saves the screen as SaveScreen00.bmp, SaveScreen01.bmp, ... on
the first volume and then draws the 64 x 64 badge with its top-left corner
at (100, 100).

The screen shows PaintScreen.efi's known picture (paint_pattern.py), held
long past the presses; keys come from QMP send-key on the emulated PS/2
keyboard. A good capture prints nothing, so completion is seen from the host:
the badge on a screendump (drawn only after the file is closed) or the
file's full length in the disk image's directory. The files themselves are
read once the VM has stopped.

The expected badge is composed here from the bytes of hotkey/badge_image.cpp
read as a cursor file, not with the driver's code.
"""

import functools
import re
import time
import types
from pathlib import Path

import pytest
from PIL import ImageChops

from bmp_file import assert_same_picture, decode, file_length
from paint_pattern import painted_image
from built_images import built_images
from qemu_vm import LOAD_OK, Vm

ROOT = Path(__file__).resolve().parents[2]
BADGE_SOURCE = ROOT / "hotkey" / "badge_image.cpp"

# Either Ctrl with either Alt, in QEMU's key names.
HOT_KEYS = [("ctrl", "alt", "f9"), ("ctrl", "alt_r", "f9"), ("ctrl_r", "alt", "f9"),
            ("ctrl_r", "alt_r", "f9")]
# Near misses: a modifier short, or the neighbouring function keys.
WRONG_KEYS = [("f9",), ("ctrl", "f9"), ("ctrl_r", "f9"), ("alt", "f9"), ("alt_r", "f9"),
              ("ctrl", "alt", "f8"), ("ctrl_r", "alt_r", "f10")]

BADGE_AT = (100, 100)
BADGE_SIDE = 64
# Seconds PaintScreen holds its picture: far past what the presses take.
HOLD = 90
# One capture takes well under a second here (0.1-0.3 s at 800x600-1366x768).
CAPTURE_TIMEOUT = 20


def images(arch="x64"):
    return built_images("HotKeyProvider.efi", "HotKeyCapture.efi", "PaintScreen.efi", arch=arch)


def saved_name(number):
    return f"SaveScreen{number:02d}.bmp"


# -- the badge, composed independently ------------------------------------------------

@functools.lru_cache(maxsize=None)
def badge_opaque_pixels():
    """{(x, y): (r, g, b)} of the badge's opaque pixels, top-left origin.

    BadgeImage is a cursor file: the 24-bit colour plane starts at byte 62
    (64 rows of 192 bytes, bottom row first, blue-green-red), the 1-bit mask
    at 12350 (64 rows of 8 bytes, bottom row first, bit 7 leftmost; 1 means
    transparent). Transparent pixels carry colour 0, so they keep the screen."""
    source = BADGE_SOURCE.read_text()
    body = re.search(r"BadgeImage\[BadgeImageSize\] = \{(.*?)\};", source, re.S)
    data = bytes(int(value, 16) for value in re.findall(r"0x([0-9a-fA-F]{2})", body.group(1)))
    assert len(data) == 12862
    opaque = {}
    for y in range(BADGE_SIDE):
        stored = BADGE_SIDE - 1 - y
        colours = data[62 + stored * 192:][:192]
        mask = data[12350 + stored * 8:][:8]
        for x in range(BADGE_SIDE):
            blue, green, red = colours[3 * x:3 * x + 3]
            if mask[x // 8] >> (7 - x % 8) & 1:
                assert (blue, green, red) == (0, 0, 0), f"transparent badge pixel {x},{y} has colour"
            else:
                opaque[x, y] = (red, green, blue)
    return opaque


def with_badge(picture):
    """picture with the badge drawn at BADGE_AT: opaque pixels take the
    badge's colour, transparent ones keep the picture."""
    out = picture.copy()
    pixels = out.load()
    left, top = BADGE_AT
    for (x, y), colour in badge_opaque_pixels().items():
        pixels[left + x, top + y] = colour
    return out


def badge_box():
    left, top = BADGE_AT
    return (left, top, left + BADGE_SIDE, top + BADGE_SIDE)


# -- reading what the VM left ---------------------------------------------------------

def wait_until_saved(vm, number, width, height, since, timeout=CAPTURE_TIMEOUT):
    """Waits until SaveScreen<number>.bmp has its full length; returns the
    seconds since `since`. The length goes into the directory when the file
    is closed, after its data (the driver then only draws the badge)."""
    return vm.wait_for_file(saved_name(number), file_length(width, height), timeout, since)


def wait_for_screen(vm, expected, box, timeout=CAPTURE_TIMEOUT):
    """Screendumps until the part box of the screen equals expected's (or
    the time is up) and returns the last screendump."""
    deadline = time.monotonic() + timeout
    while True:
        screen = vm.screendump()
        if ImageChops.difference(screen.crop(box), expected.crop(box)).getbbox() is None:
            return screen
        if time.monotonic() > deadline:
            return screen
        time.sleep(0.1)


def boot_painted(vm, mode):
    """Waits for both drivers' loads and the held picture; returns the
    console offset right after PaintScreen's marker."""
    vm.skip_startup_countdown()
    for name in ("HotKeyProvider.efi", "HotKeyCapture.efi"):
        assert vm.wait_for(LOAD_OK).group(1) == f"FS0:\\{name}"
    vm.wait_for(f"PAINTED {mode}\n")
    return vm.mark()


def painted_startup(mode):
    return ["fs0:", "load HotKeyProvider.efi", "load HotKeyCapture.efi",
            f"PaintScreen.efi {mode} wait {HOLD}"]


def assert_held_and_silent(vm, start):
    # No console line on success, and the picture was still held throughout.
    assert vm.console()[start:] == "", "console output while the picture was held"


# -- every combination, the badge and the files ---------------------------------------

def press_each_combination(platform="x64"):
    """One boot: each combination pressed in turn, each save waited for."""
    run = types.SimpleNamespace(painted=painted_image(800, 600), seconds=[])
    with Vm(files=images(platform), startup=painted_startup("800x600"), timeout=150,
            platform=platform) as vm:
        start = boot_painted(vm, "800x600")
        run.before = vm.screendump()
        for number, keys in enumerate(HOT_KEYS):
            pressed = time.monotonic()
            vm.send_key(*keys)
            if number == 0:
                run.after_first = wait_for_screen(vm, with_badge(run.painted), badge_box())
            try:
                run.seconds.append(wait_until_saved(vm, number, 800, 600, pressed))
            except AssertionError as error:
                raise AssertionError(f"{'+'.join(keys)}: {error}") from None
        run.console = vm.console()[start:]
        vm.stop()
        run.names = vm.disk.names()
        run.files = [vm.read_file(saved_name(number)) for number in range(len(HOT_KEYS))]
    return run


@pytest.fixture(scope="module")
def presses():
    return press_each_combination()


class TestCombinations:
    def test_badge_has_both_kinds_of_pixel_and_shows_on_the_picture(self):
        # Without this the badge checks could pass on an unchanged screen.
        opaque = badge_opaque_pixels()
        assert 500 < len(opaque) < BADGE_SIDE * BADGE_SIDE - 500
        painted = painted_image(800, 600)
        changed = ImageChops.difference(painted, with_badge(painted)).convert("L")
        assert sum(1 for value in changed.getdata() if value) > 0.9 * len(opaque)

    def test_screen_showed_the_painted_picture_before(self, presses):
        assert_same_picture(presses.before, presses.painted, "screen before the first press")

    def test_each_combination_saves_the_next_numbered_file(self, presses):
        assert len(presses.seconds) == len(HOT_KEYS)
        saved = sorted(name for name in presses.names if name.startswith("SaveScreen"))
        assert saved == [saved_name(number) for number in range(len(HOT_KEYS))]

    def test_first_file_is_the_painted_picture(self, presses):
        assert_same_picture(decode(presses.files[0], "SaveScreen00.bmp"), presses.painted,
                            "SaveScreen00.bmp")

    def test_badge_is_drawn_over_the_screen_at_100_100(self, presses):
        expected = with_badge(presses.painted)
        screen = presses.after_first
        assert_same_picture(screen.crop(badge_box()), expected.crop(badge_box()),
                            "badge square after the first press")
        assert_same_picture(screen, expected, "screen after the first press")

    def test_later_files_show_the_badge(self, presses):
        expected = with_badge(presses.painted)
        for number in range(1, len(HOT_KEYS)):
            assert_same_picture(decode(presses.files[number], saved_name(number)), expected,
                                saved_name(number))

    def test_nothing_is_printed(self, presses):
        assert presses.console == ""


# -- keys that are not the hot key ----------------------------------------------------

def test_other_keys_save_nothing_and_draw_nothing():
    painted = painted_image(800, 600)
    with Vm(files=images(), startup=painted_startup("800x600"), timeout=150) as vm:
        start = boot_painted(vm, "800x600")
        for keys in WRONG_KEYS:
            vm.send_key(*keys)
            # Ten times what a capture takes, then look.
            time.sleep(1)
            assert not [name for name in vm.disk.names() if name.startswith("SaveScreen")], keys
            assert_same_picture(vm.screendump(), painted, f"screen after {'+'.join(keys)}")
        # Keys are handled in order: this press comes after all the above.
        pressed = time.monotonic()
        vm.send_key(*HOT_KEYS[0])
        wait_until_saved(vm, 0, 800, 600, pressed)
        assert_held_and_silent(vm, start)
        vm.stop()
        assert [name for name in vm.disk.names() if name.startswith("SaveScreen")] == [
            saved_name(0)]
        # The first file the hot key saved, and it shows no badge.
        assert_same_picture(decode(vm.read_file(saved_name(0))), painted, "SaveScreen00.bmp")


# -- a volume that cannot be written --------------------------------------------------

def test_read_only_volume_reports_and_draws_no_badge():
    painted = painted_image(800, 600)
    with Vm(files=images(), startup=painted_startup("800x600"), read_only=True,
            timeout=150) as vm:
        start = boot_painted(vm, "800x600")
        for keys in (HOT_KEYS[0], HOT_KEYS[3]):
            vm.send_key(*keys)
            vm.wait_for("Create File Error\n", CAPTURE_TIMEOUT)
        # The second message means the first press's handler has returned.
        screen = vm.screendump()
        console = vm.console()[start:]
        vm.stop()
        assert console == "Create File Error\n" * 2
        assert_same_picture(screen.crop(badge_box()), painted.crop(badge_box()),
                            "badge square after a failed capture")
        # The messages are also drawn as console text (grey on black, at the
        # console's cursor, away from the badge); nothing else changed.
        changed = ImageChops.difference(screen, painted).getbbox()
        assert changed is not None, "no console text drawn"
        left, top, right, bottom = badge_box()
        assert (changed[2] <= left or changed[0] >= right or changed[3] <= top
                or changed[1] >= bottom), f"text at {changed} overlaps the badge square"
        assert set(screen.crop(changed).getdata()) <= {(0, 0, 0), (152, 152, 152)}, (
            f"more than console text changed within {changed}")
        assert not [name for name in vm.disk.names() if name.startswith("SaveScreen")]


# -- installed as Driver#### load options ---------------------------------------------

def test_driver_options_load_both_after_a_reset():
    painted = painted_image(800, 600)
    with Vm(files=images(), reboot=True, timeout=150) as vm:
        vm.skip_startup_countdown()
        vm.wait_for_prompt()
        # Provider first: HotKeyCapture needs its protocol at entry.
        for number, name, description in ((0, "HotKeyProvider.efi", "HotKey provider"),
                                           (1, "HotKeyCapture.efi", "HotKeyCapture")):
            output = vm.run_command(f'bcfg driver add {number} fs0:\\{name} "{description}"')
            assert f"Add Driver000{number} as {number}" in output, output
        vm.type_line("reset")
        vm.wait_for("reset\n")
        vm.skip_startup_countdown()
        vm.wait_for_prompt()
        dump = vm.run_command("bcfg driver dump")
        assert re.findall(r"Variable: (Driver\d{4})", dump) == ["Driver0000", "Driver0001"], dump
        # Nothing was ever loaded by hand: if the key works, the firmware
        # loaded both images from the options.
        vm.type_line(r"fs0:\PaintScreen.efi 800x600 wait 60")
        vm.wait_for("PAINTED 800x600\n")
        start = vm.mark()
        pressed = time.monotonic()
        vm.send_key(*HOT_KEYS[0])
        screen = wait_for_screen(vm, with_badge(painted), badge_box())
        wait_until_saved(vm, 0, 800, 600, pressed)
        assert_held_and_silent(vm, start)
        vm.stop()
        assert_same_picture(screen, with_badge(painted), "screen after the press")
        assert_same_picture(decode(vm.read_file(saved_name(0))), painted, "SaveScreen00.bmp")


# -- many presses in a row ------------------------------------------------------------

# 1366 x 768 is the one offered mode whose rows need padding (4098 -> 4100
# bytes). Pressed one at a time first (each waited for), then as a burst:
# a press every ~20 ms while a capture takes ~0.15 s, so presses queue up
# behind the running capture.
MANY_MODE = (1366, 768)
ONE_BY_ONE = 12
BURST = 24
BURST_HOLD_MS = 20


def test_many_presses_each_save_the_screen_of_their_time():
    width, height = MANY_MODE
    count = ONE_BY_ONE + BURST
    mode = f"{width}x{height}"
    # 36 files of 3.1 MB each.
    with Vm(files=images(), startup=painted_startup(mode), timeout=240,
            disk_mb=160) as vm:
        start = boot_painted(vm, mode)
        seconds = []
        for number in range(ONE_BY_ONE):
            pressed = time.monotonic()
            vm.send_key(*HOT_KEYS[number % len(HOT_KEYS)])
            seconds.append(wait_until_saved(vm, number, width, height, pressed))
        burst_start = time.monotonic()
        for number in range(ONE_BY_ONE, count):
            vm.send_key(*HOT_KEYS[number % len(HOT_KEYS)], hold_ms=BURST_HOLD_MS)
        wait_until_saved(vm, count - 1, width, height, burst_start, timeout=CAPTURE_TIMEOUT + count)
        burst_seconds = time.monotonic() - burst_start
        assert_held_and_silent(vm, start)
        vm.stop()
        print(f"\none by one: {sum(seconds) / len(seconds):.2f} s a press on average, "
              f"{max(seconds):.2f} s at most; burst of {BURST}: {burst_seconds:.1f} s")
        saved = sorted(name for name in vm.disk.names() if name.startswith("SaveScreen"))
        assert saved == [saved_name(number) for number in range(count)]
        painted = painted_image(width, height)
        badged = with_badge(painted)
        for number in range(count):
            assert_same_picture(decode(vm.read_file(saved_name(number)), saved_name(number)),
                                painted if number == 0 else badged, saved_name(number))
