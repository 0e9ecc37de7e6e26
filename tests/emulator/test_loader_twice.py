"""The capture stick's loader run twice in one boot on OVMF (x64): the boot
manager runs the stick's option again once the front page is left with
"Continue" (after a boot option has returned, OVMF opens the front page; on
Continue it goes through the boot options from the first again). The second
run starts neither driver again, so one Ctrl+Alt+F9 saves one picture,
without a badge. With two HotKeyCapture instances both would save
SaveScreen00.bmp, the second one over the first, with the first one's badge
in it.

The stick is make-stick.sh's image as the only disk (a USB stick), fresh
variables. First run: a key during the countdown returns to the firmware.
Second run: no key, so it opens the setup, where the hot key is pressed.
"""

import time
import types

import pytest

from bmp_file import assert_same_picture, decode
from built_images import EFI_DIR, built_images
from stick_boot import (CAPTURE_STARTED, FRONT_PAGE, HOT_KEY_LINE, LOADER_HEADER, RETURNING,
                        START_FAILED, VOLUME, follow_loader, make_stick, press_hot_key,
                        reach_setup, saved_pictures, steady_screen, stick_vm)
from stick_disk import DRIVERS
from test_hotkey_capture import badge_box, wait_for_screen, with_badge

PROVIDER_PRESENT = "Hot-key protocol present: HotKeyProvider.efi not needed\n"
ALREADY_RUNNING = "HotKeyCapture.efi already running\n"
# From the highlighted first item of OVMF's front page (Select Language) to
# Continue: Device Manager, Boot Manager, Boot Maintenance Manager, Continue.
TO_CONTINUE = ("down", "down", "down", "down", "ret")


def leave_front_page(vm):
    """Picks Continue on the front page, once it is steady on screen."""
    vm.wait_for(FRONT_PAGE, 60)
    steady_screen(vm)
    for key in TO_CONTINUE:
        vm.send_key(key)
        time.sleep(0.3)


@pytest.fixture(scope="module")
def twice(tmp_path_factory):
    built_images("CaptureLoader.efi", *DRIVERS)
    folder = tmp_path_factory.mktemp("twice")
    image = make_stick(EFI_DIR, folder / "stick.img")
    run = types.SimpleNamespace()
    with stick_vm(image, timeout=240) as vm:
        start = vm.mark()
        follow_loader(vm, countdown=False)
        time.sleep(1)  # into the 3 s countdown, which starts after the hot-key line
        vm.send_key("spc")
        end = vm.wait_for(RETURNING, 30).end()
        run.first = vm.console()[start:end]

        leave_front_page(vm)
        start = vm.wait_for(LOADER_HEADER, 60).start()
        vm.wait_for(VOLUME, 30)
        vm.wait_for(HOT_KEY_LINE, 30)
        run.second = vm.console()[start:vm.mark()]
        _, run.before = reach_setup(vm)
        press_hot_key(vm, vm.disk, 0, run.before.size)
        run.after = wait_for_screen(vm, with_badge(run.before), badge_box())
        time.sleep(1)  # room for a second instance's save, were there one
        vm.stop()
        run.console = vm.console()
        run.saved = saved_pictures(vm.disk)
        run.picture = vm.read_file("SaveScreen00.bmp")
    return run


def test_first_run_starts_both_drivers(twice):
    assert "Started HotKeyProvider.efi\n" in twice.first
    assert CAPTURE_STARTED in twice.first
    assert not START_FAILED.search(twice.first)


def test_second_run_starts_neither_driver_again_and_goes_on(twice):
    assert PROVIDER_PRESENT in twice.second
    assert ALREADY_RUNNING in twice.second
    assert "Started" not in twice.second
    assert not START_FAILED.search(twice.second)
    assert twice.console.count(CAPTURE_STARTED) == 1


def test_one_press_saves_one_picture_without_a_badge(twice):
    assert twice.saved == ["SaveScreen00.bmp"]
    assert_same_picture(decode(twice.picture, "SaveScreen00.bmp"), twice.before,
                        "SaveScreen00.bmp")
    assert_same_picture(twice.after, with_badge(twice.before), "screen after the press")
