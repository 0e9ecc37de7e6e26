"""The capture stick on OVMF with Secure Boot on (Debian's snakeoil keys in
PK, KEK and db): signed with the snakeoil key it works as without Secure
Boot; unsigned, the firmware refuses it; with one unsigned driver, the
loader names that driver and its status and returns.

Refusals are checked where they matter: after them the firmware offers its
boot manager menu, and Ctrl+Alt+F9 there saves nothing.
"""

import re
import time

import pytest

from bmp_file import assert_same_picture, decode
from built_images import EFI_DIR
from qemu_vm import SNAKEOIL_CERT_PEM, SNAKEOIL_KEY_PEM, FatDisk
from stick_boot import (HOT_KEY, LOADER_HEADER, OPENING_SETUP, START_FAILED, follow_loader,
                        make_stick, plain_key_copy, press_hot_key, reach_setup, saved_pictures,
                        steady_screen, stick_vm, unsigned_copy)
from stick_disk import ESP_OFFSET
from test_hotkey_capture import badge_box, wait_for_screen, with_badge

VM_TIMEOUT = 150
# OVMF's own lines when nothing could be booted (its shell is refused under
# Secure Boot too), before its boot manager menu.
NOTHING_BOOTED = "BdsDxe: Press any key to enter the Boot Manager Menu."
FRONT_MENU = re.compile(r"Boot Manager Menu[\s\S]*Select Entry|Boot Maintenance Manager"
                        r"[\s\S]*Select Entry")
# What a capture takes, many times over.
NOTHING_SAVED_WAIT = 3


@pytest.fixture(scope="module")
def snakeoil(tmp_path_factory):
    folder = tmp_path_factory.mktemp("snakeoil")
    return plain_key_copy(SNAKEOIL_KEY_PEM, "snakeoil", folder), SNAKEOIL_CERT_PEM


def assert_hot_key_saves_nothing(vm):
    """At the boot manager menu the firmware offers after a refusal, the hot
    key saves nothing: no capture driver is running."""
    vm.wait_for(NOTHING_BOOTED, 60)
    vm.send_key("ret")
    vm.wait_for(FRONT_MENU, 60)
    steady_screen(vm)
    vm.send_key(*HOT_KEY)
    time.sleep(NOTHING_SAVED_WAIT)
    assert saved_pictures(vm.disk) == []


def test_signed_stick_reaches_setup_and_captures(tmp_path, snakeoil):
    image = make_stick(EFI_DIR, tmp_path / "stick.img", *snakeoil)
    with stick_vm(image, secure_boot=True, timeout=VM_TIMEOUT) as vm:
        loader = follow_loader(vm)
        assert loader["provider"] == "Started HotKeyProvider.efi"
        _, before = reach_setup(vm, since=loader["countdown_at"])
        press_hot_key(vm, vm.disk, 0, before.size)
        after = wait_for_screen(vm, with_badge(before), badge_box())
        vm.stop()
        assert_same_picture(after, with_badge(before), "screen after the hot key")
        assert saved_pictures(vm.disk) == ["SaveScreen00.bmp"]
        assert_same_picture(decode(vm.read_file("SaveScreen00.bmp")), before, "SaveScreen00.bmp")


def test_unsigned_stick_is_refused_by_the_firmware(tmp_path):
    image = make_stick(EFI_DIR, tmp_path / "stick.img")
    with stick_vm(image, secure_boot=True, timeout=VM_TIMEOUT) as vm:
        refused = vm.wait_for(re.compile(r"BdsDxe: failed to load Boot\d{4} \"[^\"\n]*USB[^\n]*: "
                                         r"(Access Denied|Security Violation)\n"), 60)
        assert_hot_key_saves_nothing(vm)
        console = vm.console()
    assert not LOADER_HEADER.search(console), refused.group(0)


def test_unsigned_driver_is_named_and_the_loader_returns(tmp_path, snakeoil):
    image = make_stick(EFI_DIR, tmp_path / "stick.img", *snakeoil)
    stick = FatDisk(image, offset=ESP_OFFSET)
    stick.put("EFI/BOOT/x64/HotKeyCapture.efi",
              unsigned_copy(EFI_DIR / "x64" / "HotKeyCapture.efi", tmp_path))
    with stick_vm(image, secure_boot=True, timeout=VM_TIMEOUT) as vm:
        vm.wait_for(LOADER_HEADER, 60)
        vm.wait_for("Started HotKeyProvider.efi\n", 30)
        failed = vm.wait_for(START_FAILED, 30)
        assert failed.group(1) == "HotKeyCapture.efi"
        assert failed.group(2) in ("Security Violation", "Access Denied")
        # Straight on, without waiting for a key.
        returned = time.monotonic()
        vm.wait_for("Returning to the firmware.\n", 10)
        vm.wait_for(re.compile(r"BdsDxe: failed to start Boot\d{4} \"[^\"\n]*USB"), 10)
        seconds = time.monotonic() - returned
        assert_hot_key_saves_nothing(vm)
        console = vm.console()
    assert seconds < 5, f"the loader took {seconds:.1f} s to return"
    assert not OPENING_SETUP.search(console)
    assert "Pictures go to" not in console
