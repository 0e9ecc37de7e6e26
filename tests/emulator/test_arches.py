"""The drivers on the two other architectures, the platform a parameter of
the x64 tests' own runs and checks:

  ia32  OVMF32 on QEMU's q35 with standard VGA (the same 30 modes as x64,
        1366 x 768 the one whose rows need padding) and a PS/2 keyboard
  aa64  AAVMF on QEMU's virt with ramfb (640x480, 800x600 and 1024x768 only:
        no width that needs padding) and a USB keyboard

Per architecture: TimedCapture saves the painted picture exactly, at a mode
other than the one the firmware starts in; HotKeyCapture behind
HotKeyProvider saves on each of the four Ctrl+Alt+F9 combinations and draws
the badge; a read-only volume makes both drivers print "Create File Error".
`pytest -k aa64` runs one architecture's.
"""

import re
import time

import pytest

import test_hotkey_capture
from bmp_file import assert_same_picture
from paint_pattern import painted_image
from qemu_vm import LOAD_OK, Vm
from test_hotkey_capture import CAPTURE_TIMEOUT, HOT_KEYS, badge_box, press_each_combination
from test_timed_capture import (check_announced, check_painted_bmp, check_screen,
                                resolution, run_captures)
from built_images import built_images

ARCHES = ["ia32", "aa64"]

# A mode the firmware does not start in, with padded rows where one is offered.
TIMED_MODE = {"ia32": "1366x768", "aa64": "1024x768"}


@pytest.fixture(scope="module", params=ARCHES)
def arch(request):
    return request.param


# -- TimedCapture ------------------------------------------------------------------

@pytest.fixture(scope="module")
def timed(arch):
    return run_captures([TIMED_MODE[arch]], prelude=["PaintScreen.efi list"], platform=arch)


class TestTimedCapture:
    def test_mode_is_offered_with_padded_rows_where_possible(self, arch, timed):
        offered = re.findall(r"(?m)^MODE \d+ (\d+x\d+)$", timed.prelude)
        mode = TIMED_MODE[arch]
        assert mode in offered, offered
        padded = [name for name in offered if resolution(name)[0] * 3 % 4]
        assert (mode in padded) == bool(padded), f"{mode} chosen, padded modes: {padded}"

    def test_file_is_the_painted_picture(self, timed):
        capture = timed.captures[0]
        check_announced(capture)
        check_painted_bmp(capture.saved, capture.mode)
        assert timed.final == capture.saved

    def test_screen_at_capture_time_is_the_painted_picture(self, timed):
        check_screen(timed.captures[0])


# -- HotKeyCapture: the x64 checks of every combination, on this platform ------------

@pytest.fixture(scope="module")
def presses(arch):
    return press_each_combination(arch)


class TestCombinations(test_hotkey_capture.TestCombinations):
    pass


# -- a volume that cannot be written ----------------------------------------------

READ_ONLY_HOLD = 16


def test_read_only_volume_makes_both_drivers_report(arch):
    """Both drivers in one boot: the hot key is pressed at once, before
    TimedCapture is due, whose own attempt follows 10 s after its load."""
    files = built_images("HotKeyProvider.efi", "HotKeyCapture.efi", "TimedCapture.efi",
                         "PaintScreen.efi", arch=arch)
    startup = ["fs0:", "load HotKeyProvider.efi", "load HotKeyCapture.efi",
               "load TimedCapture.efi", f"PaintScreen.efi wait {READ_ONLY_HOLD}"]
    with Vm(files=files, startup=startup, read_only=True, timeout=120, platform=arch) as vm:
        vm.skip_startup_countdown()
        for name in ("HotKeyProvider.efi", "HotKeyCapture.efi", "TimedCapture.efi"):
            assert vm.wait_for(LOAD_OK).group(1) == f"FS0:\\{name}"
        loaded = time.monotonic()
        mode = vm.wait_for(re.compile(r"PAINTED (\d+x\d+)\n")).group(1)
        start = vm.mark()
        painted = painted_image(*resolution(mode))
        vm.send_key(*HOT_KEYS[0])
        vm.wait_for("Create File Error\n", CAPTURE_TIMEOUT)
        assert time.monotonic() - loaded < 10, "hot-key capture not done before the timed one"
        screen = vm.screendump()
        vm.wait_for("Create File Error\n", 10 + CAPTURE_TIMEOUT)
        assert time.monotonic() - loaded > 9, "timed capture came too early"
        end = vm.wait_for("PAINT DONE", READ_ONLY_HOLD + 20).start()
        console = vm.console()[start:end]
        vm.stop()
        assert console == "Create File Error\n" * 2
        # No badge after a failed capture (the message is drawn as console
        # text at the cursor, away from the badge).
        assert_same_picture(screen.crop(badge_box()), painted.crop(badge_box()),
                            "badge square after a failed capture")
        assert not [name for name in vm.disk.names() if name.startswith("SaveScreen")]
