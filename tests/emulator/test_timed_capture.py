"""TimedCapture.efi on OVMF: loaded from the shell, it saves the screen as
\\SaveScreen.bmp on the first volume ten seconds later.

The picture on screen comes from tests/apps PaintScreen.efi, which paints a
known pattern (paint_pattern.py) and holds it past the capture; QEMU's
screendump taken while it is held shows what the firmware's screen really
was. Each capture is followed from the painter's "PAINTED" marker to its
"PAINT DONE": the driver's console lines must come in between, which also
proves the picture was still up when the screen was read.
"""

import io
import re
import shutil
import subprocess
import time
from dataclasses import dataclass

import pytest
from PIL import Image

from bmp_file import assert_same_picture, check_header, row_bytes
from paint_pattern import painted_bmp_rows, painted_image, painted_rgb
from built_images import built_images
from qemu_vm import LOAD_ERROR, LOAD_OK, Vm


# Seconds the painter holds its picture after painting: past the driver's
# 10 s delay, counted from the `load` just before it.
HOLD = 12
CAPTURE_LINES = ("ScreenWidth:", "Start Save Screen", "Save is ok", "Create File Error",
                 "Save Screen Error", "Write Bmp", "Not Find  Draw Protocol")


def images(arch="x64"):
    return built_images("TimedCapture.efi", "PaintScreen.efi", arch=arch)


def resolution(mode):
    width, height = mode.split("x")
    return int(width), int(height)


def announced(width, height):
    """What the driver prints around a good capture, escapes stripped."""
    return (f"ScreenWidth:{width},ScreenHeight:{height}\n"
            "Start Save Screen,Don't Move Screen\n"
            "\rSave is ok ,thank you")


# -- one boot, several captures ------------------------------------------------

@dataclass
class Capture:
    mode: str
    screen: Image.Image  # screendump while the painted picture was up
    console: str         # console text from the painter's marker to its end
    saved: bytes         # SaveScreen.bmp right after this capture


@dataclass
class Run:
    captures: list
    final: bytes         # SaveScreen.bmp when the VM stopped
    prelude: str         # output of the commands run before the captures
    raw_console: bytes   # the whole console, escapes kept


def run_captures(modes, old_file=None, prelude=(), timeout=None, platform="x64"):
    """Boots `platform` once; for each mode loads TimedCapture, paints the
    screen at that mode and keeps a copy of the file the capture wrote."""
    files = dict(images(platform))
    if old_file is not None:
        files["SaveScreen.bmp"] = old_file
    lines = ["fs0:", *prelude, "echo PRELUDE DONE"]
    for number, mode in enumerate(modes):
        lines += ["load TimedCapture.efi", f"PaintScreen.efi {mode} wait {HOLD}",
                  f"cp -q SaveScreen.bmp capture{number}.bmp"]
    lines.append("echo CAPTURES DONE")
    timeout = timeout or 60 + 20 * len(modes)
    with Vm(files=files, startup=lines, timeout=timeout, platform=platform) as vm:
        vm.skip_startup_countdown()
        vm.wait_for("> echo PRELUDE DONE")
        prelude_text = vm.console()[:vm.mark()]
        shown = []
        for mode in modes:
            vm.wait_for(LOAD_OK)
            vm.wait_for(f"PAINTED {mode}\n")
            start = vm.mark()
            screen = vm.screendump()
            end = vm.wait_for("PAINT DONE", HOLD + 20).start()
            shown.append((mode, screen, vm.console()[start:end]))
        vm.wait_for(re.compile(r"(?m)^CAPTURES DONE$"))
        vm.stop()
        captures = [Capture(mode, screen, console, vm.read_file(f"capture{number}.bmp"))
                    for number, (mode, screen, console) in enumerate(shown)]
        return Run(captures, vm.read_file("SaveScreen.bmp"), prelude_text, vm.raw_console())


# -- checks ----------------------------------------------------------------------

def check_painted_bmp(data, mode):
    """data must be exactly the BMP file of the painted screen at mode."""
    width, height = resolution(mode)
    assert check_header(data, "SaveScreen.bmp") == (width, height)
    row = row_bytes(width)
    pixels = data[54:]
    expected = painted_bmp_rows(width, height)
    if pixels != expected:
        at = next(i for i, (a, b) in enumerate(zip(pixels, expected)) if a != b)
        stored_row, column = divmod(at, row)
        raise AssertionError(f"pixel data differs first at stored row {stored_row} "
                             f"(screen line {height - 1 - stored_row}), byte {column} of the row: "
                             f"{pixels[at:at + 6].hex()} instead of {expected[at:at + 6].hex()}")


def check_screen(capture):
    """The screendump shows the painted picture. For a width that is not a
    multiple of 8 QEMU's VGA rounds its line length down (1366 -> 1360)
    while OVMF keeps laying out 1366-pixel lines, so QEMU shows the frame
    buffer sheared: then expect the painted lines re-cut at QEMU's width."""
    width, height = resolution(capture.mode)
    shown_width, shown_height = capture.screen.size
    assert shown_height == height and width - 8 < shown_width <= width, capture.screen.size
    painted = painted_rgb(width, height)
    line = shown_width * 3
    expected = Image.frombytes("RGB", (shown_width, height),
                               b"".join(painted[y * line:(y + 1) * line] for y in range(height)))
    assert_same_picture(capture.screen, expected, f"screendump at {capture.mode}")


def check_announced(capture):
    width, height = resolution(capture.mode)
    assert capture.console == announced(width, height), (
        "between the painter's marker and its end the console showed "
        f"{capture.console!r}; the capture must come while the picture is held")


# -- a plain capture ---------------------------------------------------------------

@pytest.fixture(scope="module")
def single():
    return run_captures(["800x600"])


class TestCapture:
    def test_file_is_the_painted_picture(self, single):
        check_painted_bmp(single.final, "800x600")

    def test_screen_at_capture_time_is_the_painted_picture(self, single):
        check_screen(single.captures[0])

    def test_console_announces_it_in_order(self, single):
        check_announced(single.captures[0])
        # In white on black (bold white, black background on the terminal).
        assert b"\x1b[1m\x1b[37m\x1b[40mScreenWidth:800," in single.raw_console

    def test_common_decoders_read_it(self, single):
        expected = painted_image(800, 600)
        with Image.open(io.BytesIO(single.final)) as picture:
            assert picture.format == "BMP"
            assert_same_picture(picture, expected, "Pillow's decoding")

        for tool in ("identify", "convert"):
            assert shutil.which(tool), f"ImageMagick's {tool} is not installed"
        described = subprocess.run(["identify", "-format", "%m %w %h %z", "bmp:-"],
                                   input=single.final, stdout=subprocess.PIPE, check=True)
        assert described.stdout.decode().split() == ["BMP3", "800", "600", "8"]
        converted = subprocess.run(["convert", "bmp:-", "ppm:-"], input=single.final,
                                   stdout=subprocess.PIPE, check=True)
        with Image.open(io.BytesIO(converted.stdout)) as picture:
            assert_same_picture(picture, expected, "ImageMagick's decoding")


# -- an existing file of the same name -----------------------------------------

OVERWRITES = {
    # Much longer than the new picture: must be cut to the new length.
    "older_longer_file": dict(old_file=b"OLD!" * 1_000_000, modes=["800x600"]),
    # Shorter than the first capture, which the second (smaller) one then
    # overwrites and cuts.
    "twice_in_one_boot": dict(old_file=b"short", modes=["1024x768", "800x600"]),
}


@pytest.mark.parametrize("case", OVERWRITES)
def test_each_capture_replaces_the_file(case):
    run = run_captures(**OVERWRITES[case])
    for capture in run.captures:
        check_announced(capture)
        check_painted_bmp(capture.saved, capture.mode)
    check_painted_bmp(run.final, run.captures[-1].mode)


# -- captures that cannot be made --------------------------------------------------

def silent_until(vm, deadline):
    """Console output from the current mark until host time `deadline`."""
    start = vm.mark()
    time.sleep(max(0, deadline - time.monotonic()))
    return vm.console()[start:]


class TestFailure:
    def test_read_only_volume(self):
        startup = ["fs0:", "load TimedCapture.efi", f"PaintScreen.efi wait {HOLD}"]
        with Vm(files=images(), startup=startup, read_only=True, timeout=90) as vm:
            vm.skip_startup_countdown()
            vm.wait_for(LOAD_OK)
            vm.wait_for(re.compile(r"PAINTED \d+x\d+\n"))
            start = vm.mark()
            end = vm.wait_for("PAINT DONE", HOLD + 20).start()
            assert vm.console()[start:end] == "Create File Error\n"
            vm.stop()
            assert vm.read_file("SaveScreen.bmp") is None

    def test_no_volume(self):
        # The driver comes from the disk; its file system is disconnected
        # before the capture is due and connected again afterwards.
        with Vm(files=images(), timeout=120) as vm:
            vm.skip_startup_countdown()
            vm.wait_for_prompt()
            vm.type_line(r"load fs0:\TimedCapture.efi")
            vm.wait_for(LOAD_OK)
            loaded = time.monotonic()
            vm.wait_for_prompt()
            assert vm.remove_volumes(), "no volume to take away"
            assert vm.run_command("dh -p SimpleFileSystem").splitlines() == [
                "Handle dump by protocol 'SimpleFileSystem'"]
            assert time.monotonic() - loaded < 8, "volume went too late to be sure it was gone"

            assert silent_until(vm, loaded + 10 + 4) == ""
            assert vm.run_command("echo ALIVE") == "ALIVE\n"
            vm.run_command("connect -r")
            assert "TimedCapture.efi" in vm.run_command(r"ls fs0:\ ")
            vm.stop()
            assert vm.read_file("SaveScreen.bmp") is None

    def test_no_graphics_device(self):
        startup = ["fs0:", "load TimedCapture.efi", "echo LOADED"]
        with Vm(files=images(), startup=startup, graphics=False, timeout=90) as vm:
            vm.skip_startup_countdown()
            start = vm.wait_for("> load TimedCapture.efi\n").end()
            failed = vm.wait_for(LOAD_ERROR)
            loaded = time.monotonic()
            assert vm.console()[start:failed.start()] == "Not Find  Draw Protocol\n"
            assert failed.group(2) == "Unsupported"
            vm.wait_for_prompt()
            vm.wait_for_prompt()  # after "echo LOADED"
            # The painter finds no graphics output either: the set-up is real.
            assert "PAINT ERROR no graphics output" in vm.run_command(r"fs0:\PaintScreen.efi")

            # Nothing left behind that fires later.
            assert silent_until(vm, loaded + 10 + 4) == ""
            assert vm.run_command("echo ALIVE") == "ALIVE\n"
            vm.stop()
            assert vm.read_file("SaveScreen.bmp") is None


# -- the graphics modes OVMF offers on QEMU's standard VGA ---------------------

# Smallest and largest, an odd-looking one, and 1366 wide: the only offered
# width whose rows need padding (1366 * 3 = 4098 bytes, stored as 4100).
MODES = ["640x480", "1152x870", "1366x768", "1920x1080", "2560x1600"]


@pytest.fixture(scope="module")
def sweep():
    return run_captures(MODES, prelude=["PaintScreen.efi list"])


class TestModes:
    def test_modes_are_offered(self, sweep):
        offered = re.findall(r"(?m)^MODE \d+ (\d+x\d+)$", sweep.prelude)
        assert set(MODES) <= set(offered), offered
        assert any(resolution(mode)[0] * 3 % 4 for mode in MODES), "no padded rows tested"

    @pytest.mark.parametrize("mode", MODES)
    def test_capture_at_mode(self, sweep, mode):
        capture = sweep.captures[MODES.index(mode)]
        check_announced(capture)
        check_screen(capture)
        check_painted_bmp(capture.saved, mode)
