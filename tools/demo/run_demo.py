#!/usr/bin/python3
"""Boot OVMF in QEMU, let the capture drivers save the screen, and bring the
pictures to a host folder (BMP as saved, plus a PNG copy of each).

  run_demo.py [--images BUILD_DIR/x64] [--out DIR] [--only NAME ...]

Each demo is one function in DEMOS: it gets the folder of the built .efi
images and returns {file name on the VM's disk: bytes}. The timed one loads
TimedCapture.efi from the shell, shows some shell output (`ver`, `map`)
and waits for the capture ten seconds later. The hot-key one loads
HotKeyProvider.efi and HotKeyCapture.efi, shows the same kind of output and
presses Ctrl+Alt+F9 twice on the emulated keyboard: the second picture shows
the badge the first press left at (100, 100).
"""

import argparse
import io
import re
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "emulator"))

from bmp_file import file_length  # noqa: E402
from qemu_vm import LOAD_OK, Vm  # noqa: E402


def need_image(images, name):
    path = Path(images) / name
    if not path.is_file():
        sys.exit(f"{path} is missing: build first (tools/build.sh)")
    return path


def timed_demo(images):
    """TimedCapture: the shell screen after `ver` and `map`, saved 10 s
    after `load`."""
    startup = ["fs0:", "ver", "map", "load TimedCapture.efi",
               "echo TimedCapture saves this screen 10 s after the load above."]
    with Vm(files={"TimedCapture.efi": need_image(images, "TimedCapture.efi")},
            startup=startup, timeout=120) as vm:
        vm.skip_startup_countdown()
        print("  ", vm.wait_for(LOAD_OK, 60).group(0))
        loaded = time.monotonic()
        # Up to the line end, so the numbers are complete when matched.
        size = vm.wait_for(re.compile(r"ScreenWidth:\d+,ScreenHeight:\d+\n"), 30).group(0).strip()
        print("  ", size, f"({time.monotonic() - loaded:.1f} s after the load)")
        vm.wait_for("Save is ok ,thank you", 60)
        print("   Save is ok ,thank you")
        vm.stop()
        return {"SaveScreen.bmp": vm.read_file("SaveScreen.bmp")}


def hotkey_demo(images):
    """HotKeyCapture: the shell screen after `ver` and `map`, saved on each
    Ctrl+Alt+F9; two presses, SaveScreen00.bmp and SaveScreen01.bmp."""
    names = ("HotKeyProvider.efi", "HotKeyCapture.efi")
    startup = ["fs0:", *(f"load {name}" for name in names), "ver", "map",
               "echo Ctrl+Alt+F9 saves this screen as SaveScreenNN.bmp."]
    with Vm(files={name: need_image(images, name) for name in names}, startup=startup,
            timeout=120) as vm:
        vm.skip_startup_countdown()
        for _ in names:
            print("  ", vm.wait_for(LOAD_OK, 60).group(0))
        vm.wait_for(re.compile(r"(?m)^Ctrl\+Alt\+F9 saves this screen"), 60)
        vm.wait_for_prompt()
        width, height = vm.screendump().size
        saved = ["SaveScreen00.bmp", "SaveScreen01.bmp"]
        for name in saved:
            pressed = time.monotonic()
            vm.send_key("ctrl", "alt", "f9")
            vm.wait_for_file(name, file_length(width, height), 30)
            print(f"   Ctrl+Alt+F9 -> {name} ({time.monotonic() - pressed:.1f} s)")
        vm.stop()
        return {name: vm.read_file(name) for name in saved}


DEMOS = {"timed": timed_demo, "hotkey": hotkey_demo}


def save_pictures(pictures, out):
    """Writes each BMP and a PNG copy to out; returns the paths written."""
    from PIL import Image
    out.mkdir(parents=True, exist_ok=True)
    written = []
    for name, data in pictures.items():
        if data is None:
            sys.exit(f"the VM's disk has no {name}")
        bmp = out / name
        bmp.write_bytes(data)
        png = bmp.with_suffix(".png")
        with Image.open(io.BytesIO(data)) as picture:
            picture.save(png)
            print(f"   {name}: {picture.size[0]}x{picture.size[1]}")
        written += [bmp, png]
    return written


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", type=Path, default=ROOT / "build" / "x64",
                        help="folder with the built x64 .efi images (default: build/x64/)")
    parser.add_argument("--out", type=Path, default=ROOT / "out",
                        help="host folder for the pictures (default: out/)")
    parser.add_argument("--only", choices=sorted(DEMOS), action="append",
                        help="run only this demo (repeatable)")
    args = parser.parse_args()

    written = []
    for name in args.only or list(DEMOS):
        print(f"{name}: booting OVMF in QEMU")
        written += save_pictures(DEMOS[name](args.images), args.out)
    print("pictures written:")
    for path in written:
        print(f"  {path.resolve()}")


if __name__ == "__main__":
    main()
