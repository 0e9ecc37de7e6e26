"""Booting the capture stick in a VM, shared by the stick tests and the demo:
make the stick from a build, attach it as a USB stick with fresh variables,
follow the loader's lines, reach the firmware setup and press the hot key.
"""

import re
import shutil
import subprocess
import time
from pathlib import Path

from bmp_file import file_length
from qemu_vm import FatDisk, Vm, VmError
from stick_disk import ESP_OFFSET, run_make_stick

HOT_KEY = ("ctrl", "alt", "f9")

# The loader's lines, in order, up to the countdown.
LOADER_HEADER = re.compile(r"Screen capture stick \((\w+)\)\n")
PROVIDER = re.compile(r"(Started HotKeyProvider\.efi|Hot-key protocol present: "
                      r"HotKeyProvider\.efi not needed)\n")
CAPTURE_STARTED = "Started HotKeyCapture.efi\n"
VOLUME = re.compile(r"Pictures go to the first file-system volume: (\S+)(?: \"([^\"\n]*)\")?\n")
HOT_KEY_LINE = "Ctrl+Alt+F9 saves the screen there as SaveScreen00.bmp, SaveScreen01.bmp, ...\n"
COUNTDOWN = "Opening the firmware setup in 3 s; any key returns to the firmware instead.\n"
OPENING_SETUP = re.compile(r"Opening the firmware setup: ([^\n]+)\n")
RETURNING = "Back to the firmware; Ctrl+Alt+F9 stays active until an OS starts.\n"
START_FAILED = re.compile(r"Could not start (\S+): ([^\n]+)\n")

# OVMF's and AAVMF's front page: its menu, then the key help at the bottom.
FRONT_PAGE = re.compile(r"Boot Maintenance Manager[\s\S]*Select Entry")


def make_stick(build_dir, image, key=None, cert=None):
    """Writes a stick image from the images in build_dir with make-stick.sh
    (signed when key and cert are given); returns its path."""
    sign = ["--key", key, "--cert", cert] if key else []
    result = run_make_stick(*sign, image, build_dir=build_dir)
    if result.returncode != 0:
        raise RuntimeError(f"make-stick.sh failed:\n{result.stdout}{result.stderr}")
    return Path(image)


def plain_key_copy(encrypted_key, password, folder):
    """An unprotected copy of a PEM key in folder, for sbsign."""
    plain = Path(folder) / "plain.key"
    subprocess.run(["openssl", "pkey", "-in", str(encrypted_key), "-passin", f"pass:{password}",
                    "-out", str(plain)], check=True, stdout=subprocess.PIPE,
                   stderr=subprocess.PIPE)
    return plain


def stick_vm(image, **kwargs):
    """A VM with the stick image as its USB stick (fresh variables: the
    harness copies the firmware's store for each VM)."""
    return Vm(disk=FatDisk(image, offset=ESP_OFFSET), disk_bus="usb", **kwargs)


def follow_loader(vm, timeout=120, countdown=True):
    """Waits for the loader's lines up to its hot-key line and, with
    countdown, for the countdown line; returns {"arch", "provider", "volume",
    "label"} from them and "countdown_at", the console offset where later
    lines (the setup's) are looked for.

    OVMF's serial console now and then loses the tail of the line printed
    just before the firmware idles (seen once in ~20 boots on a loaded
    machine: "Opening the firmwarOpening the firmware setup: UiApp"); the
    screen shows it whole. So a countdown line that never arrives whole is
    accepted once the line after it (the setup's or the return's) shows."""
    seen = {"arch": vm.wait_for(LOADER_HEADER, timeout).group(1)}
    seen["provider"] = vm.wait_for(PROVIDER, 30).group(1)
    vm.wait_for(CAPTURE_STARTED, 30)
    volume = vm.wait_for(VOLUME, 30)
    seen["volume"], seen["label"] = volume.group(1), volume.group(2)
    vm.wait_for(HOT_KEY_LINE, 30)
    seen["countdown_at"] = vm.mark()
    if countdown:
        either = re.compile("|".join([re.escape(COUNTDOWN), OPENING_SETUP.pattern,
                                      re.escape(RETURNING)]))
        if vm.wait_for(either, 30).group(0) == COUNTDOWN:
            seen["countdown_at"] = vm.mark()
    return seen


def steady_screen(vm, timeout=30, interval=0.5):
    """Screendumps until two in a row are the same; returns that screen."""
    deadline = time.monotonic() + timeout
    last = vm.screendump()
    while time.monotonic() < deadline:
        time.sleep(interval)
        screen = vm.screendump()
        if screen.tobytes() == last.tobytes():
            return screen
        last = screen
    raise VmError(f"the screen kept changing for {timeout} s")


def reach_setup(vm, since=None, timeout=60):
    """Waits (from the console offset since, default where the last wait
    ended) for the loader to open the setup and for its front page, steady
    on screen; returns (option description, screen)."""
    description = vm.wait_for(OPENING_SETUP, timeout, since=since).group(1)
    vm.wait_for(FRONT_PAGE, timeout)
    return description, steady_screen(vm)


def press_hot_key(vm, disk, number, size, timeout=30):
    """Presses Ctrl+Alt+F9 and waits until SaveScreen<number>.bmp of a
    screen of `size` is complete on `disk` (the VM's or another one it
    has); returns the seconds it took."""
    name = f"SaveScreen{number:02d}.bmp"
    pressed = time.monotonic()
    vm.send_key(*HOT_KEY)
    while disk.length(name) != file_length(*size):
        if time.monotonic() - pressed > timeout or not vm.running():
            raise VmError(f"{name} not saved on {disk.path.name} within {timeout} s; "
                          f"its length: {disk.length(name)}; files: {disk.names()}")
        time.sleep(0.05)
    return time.monotonic() - pressed


def saved_pictures(disk):
    """Names of the SaveScreen files in the volume's top folder."""
    return sorted(name for name in disk.names() if name.startswith("SaveScreen"))


def unsigned_copy(image, folder):
    """A copy of a PE image with every signature removed."""
    copy = Path(folder) / f"unsigned-{Path(image).name}"
    shutil.copyfile(image, copy)
    for _ in range(16):
        listed = subprocess.run(["sbverify", "--list", str(copy)], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True).stdout
        if "signature 1" not in listed:
            return copy
        subprocess.run(["sbattach", "--remove", str(copy)], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    raise RuntimeError(f"{image}: signatures would not go")
