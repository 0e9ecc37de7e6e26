"""The capture stick made by tools/make-stick.sh, booted as the only disk (a
USB stick) with fresh variables, as a user would boot it; the setup run on
each architecture the build has (OVMF, OVMF32, AAVMF).

Without a key the loader starts the drivers, names the picture volume and
opens the firmware setup; Ctrl+Alt+F9 there saves the screen and then draws
the badge. A key during the countdown sends the firmware on (to its front page
here), the hot key still active. Either way no load option is added or
changed. With another FAT volume listed first, the picture goes there.
"""

import re
import subprocess
import time
import types

import pytest

from bmp_file import assert_same_picture, decode
from built_images import EFI_DIR, built_images
from qemu_vm import PLATFORMS, FatDisk
from stick_boot import (FRONT_PAGE, OPENING_SETUP, RETURNING, follow_loader, make_stick,
                        press_hot_key, reach_setup, saved_pictures, steady_screen, stick_vm)
from stick_disk import BOOT_NAMES, DRIVERS
from test_hotkey_capture import badge_box, wait_for_screen, with_badge
from uefi_vars import GLOBAL_VARIABLE, load_options, option_order, read_variables

# The firmware's own report of what it boots next.
FIRMWARE_GOES_ON = re.compile(r"BdsDxe: starting Boot[0-9A-F]{4} ")

# Seconds for one VM's whole life: boot, setup, a capture (x64 ~15 s).
VM_TIMEOUT = {"x64": 150, "ia32": 200, "aa64": 400}


def need_platform(name):
    """Skips on a machine without the emulator or (but for x64) without a
    build of that architecture; ctest lists only the built ones."""
    missing = PLATFORMS[name].installed()
    if missing:
        pytest.skip(missing)
    if name != "x64" and not (EFI_DIR / name / "CaptureLoader.efi").is_file():
        pytest.skip(f"the build has no {name} images")
    built_images("CaptureLoader.efi", *DRIVERS, arch=name)


@pytest.fixture(scope="module")
def stick(tmp_path_factory):
    return make_stick(EFI_DIR, tmp_path_factory.mktemp("stick") / "stick.img")


def stick_copy(stick, folder):
    """Each VM writes to a copy of its own (sparse, like the original)."""
    copy = folder / "stick.img"
    subprocess.run(["cp", "--sparse=always", str(stick), str(copy)], check=True)
    return copy


# -- no key: the setup, a capture there -----------------------------------------------

@pytest.fixture(scope="module", params=["x64", "ia32", "aa64"])
def setup_run(request, stick, tmp_path_factory):
    platform = request.param
    need_platform(platform)
    image = stick_copy(stick, tmp_path_factory.mktemp(f"setup-{platform}"))
    run = types.SimpleNamespace(platform=platform)
    with stick_vm(image, platform=platform, timeout=VM_TIMEOUT[platform]) as vm:
        run.loader = follow_loader(vm, timeout=VM_TIMEOUT[platform])
        run.setup, run.before = reach_setup(vm, since=run.loader["countdown_at"])
        boot_to_setup = time.monotonic() - vm.started_at
        run.seconds = press_hot_key(vm, vm.disk, 0, run.before.size)
        run.after = wait_for_screen(vm, with_badge(run.before), badge_box())
        vm.stop()
        run.console = vm.console()
        run.saved = saved_pictures(vm.disk)
        run.picture = vm.read_file("SaveScreen00.bmp")
        run.variables = read_variables(vm.vars_path)
    print(f"\n{platform}: setup steady on screen {boot_to_setup:.1f} s after QEMU started, "
          f"Ctrl+Alt+F9 saved in {run.seconds:.2f} s")
    return run


class TestSetup:
    def test_loader_starts_both_drivers_and_names_the_stick(self, setup_run):
        loader = setup_run.loader
        assert loader["arch"] == setup_run.platform
        assert loader["provider"] == "Started HotKeyProvider.efi"
        assert loader["label"] == "CAPTURE"
        # Device path text: node names as the firmware's text protocol spells them.
        assert "usb(" in loader["volume"].lower(), loader["volume"]

    def test_setup_is_a_firmware_boot_option(self, setup_run):
        options = load_options(setup_run.variables)
        assert setup_run.setup in {option.description for option in options.values()}

    def test_hot_key_saves_the_setup_screen(self, setup_run):
        assert setup_run.saved == ["SaveScreen00.bmp"]
        assert_same_picture(decode(setup_run.picture, "SaveScreen00.bmp"), setup_run.before,
                            "SaveScreen00.bmp")

    def test_badge_is_drawn_after_the_save(self, setup_run):
        assert_same_picture(setup_run.after, with_badge(setup_run.before),
                            "screen after the hot key")

    def test_no_load_option_is_added(self, setup_run):
        assert_no_option_names_the_stick(setup_run.variables)

    def test_no_error_is_printed(self, setup_run):
        for text in ("Could not start", "Returning to the firmware", "Error", "No firmware setup"):
            assert text not in setup_run.console


# -- a key during the countdown -------------------------------------------------------

@pytest.fixture(scope="module")
def key_run(stick, tmp_path_factory):
    image = stick_copy(stick, tmp_path_factory.mktemp("key"))
    run = types.SimpleNamespace()
    with stick_vm(image, timeout=VM_TIMEOUT["x64"]) as vm:
        # Not waiting for the countdown line (see follow_loader): the
        # countdown starts right after the hot-key line and lasts 3 s.
        run.loader = follow_loader(vm, countdown=False)
        time.sleep(1)
        vm.send_key("spc")
        vm.wait_for(RETURNING, 30)
        # The firmware goes on by itself: OVMF opens its boot manager menu
        # (the front page) once a boot option has returned.
        vm.wait_for(FIRMWARE_GOES_ON, 30)
        vm.wait_for(FRONT_PAGE, 60)
        run.saved_before_hot_key = saved_pictures(vm.disk)
        run.screen = steady_screen(vm)
        press_hot_key(vm, vm.disk, 0, run.screen.size)
        vm.stop()
        run.console = vm.console()
        run.saved = saved_pictures(vm.disk)
        run.picture = vm.read_file("SaveScreen00.bmp")
        run.variables = read_variables(vm.vars_path)
    return run


class TestKeyDuringCountdown:
    def test_loader_returns_without_opening_the_setup(self, key_run):
        assert not OPENING_SETUP.search(key_run.console)
        assert key_run.console.count(RETURNING) == 1

    def test_nothing_is_saved_until_the_hot_key(self, key_run):
        assert key_run.saved_before_hot_key == []

    def test_hot_key_stays_active_in_the_firmware(self, key_run):
        assert key_run.saved == ["SaveScreen00.bmp"]
        assert_same_picture(decode(key_run.picture), key_run.screen, "SaveScreen00.bmp")

    def test_no_load_option_is_added(self, key_run):
        assert_no_option_names_the_stick(key_run.variables)


# -- load options -----------------------------------------------------------------------

def stick_file_names():
    return [name.lower() for name in (*BOOT_NAMES.values(), *DRIVERS, "CaptureLoader.efi")]


def firmware_options(variables):
    """{"Boot0001": (description, device path nodes)}"""
    return {name: (option.description, option.nodes)
            for name, option in load_options(variables).items()}


def assert_no_option_names_the_stick(variables):
    """No driver options, no BootNext, and no boot option with a file path
    to a file of the stick (the firmware's own option for the USB disk
    names the device only)."""
    assert load_options(variables, "Driver") == {}
    for name in ("DriverOrder", "BootNext"):
        assert (name, GLOBAL_VARIABLE) not in variables, name
    options = load_options(variables)
    assert options, "the firmware made no boot options"
    for name, option in options.items():
        path = option.file_path.lower()
        assert not [file for file in stick_file_names() if file in path], (name, option)


@pytest.mark.parametrize("setup_run", ["x64"], indirect=True)
def test_load_options_are_the_same_with_and_without_the_key(setup_run, key_run):
    # Both runs start from the same fresh store and see the same devices;
    # opening the setup must not leave anything behind that returning does not.
    assert firmware_options(setup_run.variables) == firmware_options(key_run.variables)
    assert option_order(setup_run.variables) == option_order(key_run.variables)


# -- another volume first ---------------------------------------------------------------

def test_picture_goes_to_the_volume_listed_first(stick, tmp_path):
    image = stick_copy(stick, tmp_path)
    first = FatDisk.create(tmp_path, name="first.img", size_mb=16, label="FIRSTVOL")
    with stick_vm(image, extra_disks=[first], timeout=VM_TIMEOUT["x64"]) as vm:
        loader = follow_loader(vm)
        assert loader["label"] == "FIRSTVOL"
        volume = loader["volume"].lower()
        assert "usb(" not in volume and "pci(" in volume, loader["volume"]
        _, before = reach_setup(vm, since=loader["countdown_at"])
        press_hot_key(vm, first, 0, before.size)
        vm.stop()
        assert saved_pictures(vm.disk) == []
        assert saved_pictures(first) == ["SaveScreen00.bmp"]
        assert_same_picture(decode(first.read("SaveScreen00.bmp")), before, "SaveScreen00.bmp")
