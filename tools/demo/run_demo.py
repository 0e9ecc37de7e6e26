#!/usr/bin/python3
"""Boot OVMF in QEMU, let the capture drivers save the screen, and bring the
pictures to a host folder (BMP as saved, plus a PNG copy of each).

  run_demo.py [--images BUILD_DIR/x64] [--out DIR] [--only NAME ...] [--docs DIR]

Each demo is one function in DEMOS: it gets the parsed arguments and returns
{host file name: bytes}. The timed one loads TimedCapture.efi from the
shell, shows some shell output (`ver`, `map`) and waits for the capture ten
seconds later. The stick one makes the capture stick (tools/make-stick.sh,
left in the output folder as capture-stick.img), boots a copy of it as a USB
stick with fresh variables, lets the loader open the firmware setup without
any key and presses Ctrl+Alt+F9 there; with --docs it also writes the
README's pictures of the loader's screen and the captured setup. The hot-key
one (not run by default) loads HotKeyProvider.efi and HotKeyCapture.efi from
the shell and presses Ctrl+Alt+F9 twice: the second picture shows the badge
the first press left at (100, 100).
"""

import argparse
import io
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "emulator"))

from bmp_file import decode, file_length  # noqa: E402
from qemu_vm import LOAD_OK, Vm  # noqa: E402
from stick_boot import (follow_loader, make_stick, press_hot_key, reach_setup,  # noqa: E402
                        stick_vm)


def need_image(images, name):
    path = Path(images) / name
    if not path.is_file():
        sys.exit(f"{path} is missing: build first (tools/build.sh)")
    return path


def timed_demo(args):
    """TimedCapture: the shell screen after `ver` and `map`, saved 10 s
    after `load`."""
    images = args.images
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


def hotkey_demo(args):
    """HotKeyCapture: the shell screen after `ver` and `map`, saved on each
    Ctrl+Alt+F9; two presses, SaveScreen00.bmp and SaveScreen01.bmp (on the
    host shell-SaveScreen00.bmp, ...)."""
    images = args.images
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
        return {f"shell-{name}": vm.read_file(name) for name in saved}


def stick_demo(args):
    """The capture stick booted with no key pressed: the loader opens the
    setup, Ctrl+Alt+F9 saves it as SaveScreen00.bmp on the stick."""
    stick = args.out / "capture-stick.img"
    args.out.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    make_stick(args.images.parent, stick)
    print(f"   {stick} made in {time.monotonic() - started:.1f} s")
    with tempfile.TemporaryDirectory(prefix="stick-demo-") as folder:
        # The VM writes to a copy; the image in the output folder stays fresh.
        image = Path(folder) / "stick.img"
        subprocess.run(["cp", "--sparse=always", str(stick), str(image)], check=True)
        with stick_vm(image, timeout=180) as vm:
            loader_start = vm.mark()
            # The countdown line follows the hot-key line at once and stays
            # 3 s; the serial console may drop it (see follow_loader).
            countdown_at = follow_loader(vm, countdown=False)["countdown_at"]
            time.sleep(1)
            loader_screen = vm.screendump()
            for line in vm.console()[loader_start:countdown_at].splitlines():
                if line.strip() and not line.startswith("BdsDxe"):
                    print("  ", line)
            print("   (countdown: 3 s, no key pressed)")
            description, before = reach_setup(vm, since=countdown_at)
            print(f"   {description} on screen {time.monotonic() - vm.started_at:.1f} s "
                  f"after QEMU started, no key pressed")
            seconds = press_hot_key(vm, vm.disk, 0, before.size)
            print(f"   Ctrl+Alt+F9 -> SaveScreen00.bmp on the stick ({seconds:.1f} s)")
            vm.stop()
            picture = vm.read_file("SaveScreen00.bmp")
    if args.docs:
        write_docs_pictures(args.docs, loader_screen, picture)
    return {"SaveScreen00.bmp": picture}


def write_docs_pictures(docs, loader_screen, setup_bmp):
    """The README's pictures: the loader's screen during its countdown (a
    screendump) and the setup screen as the stick saved it."""
    docs.mkdir(parents=True, exist_ok=True)
    pictures = {"stick-loader.png": loader_screen, "stick-setup.png": decode(setup_bmp)}
    for name, picture in pictures.items():
        # Few colours: a palette PNG is a fraction of the RGB one.
        picture.quantize(colors=64).save(docs / name, optimize=True)
        print(f"   {docs / name}: {picture.size[0]}x{picture.size[1]}")


DEMOS = {"timed": timed_demo, "stick": stick_demo, "hotkey": hotkey_demo}
DEFAULT_DEMOS = ["timed", "stick"]


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
                        help="run only this demo (repeatable; default: "
                        + " and ".join(DEFAULT_DEMOS) + ")")
    parser.add_argument("--docs", type=Path,
                        help="also write the README's stick pictures to this folder")
    args = parser.parse_args()

    written = []
    for name in args.only or DEFAULT_DEMOS:
        print(f"{name}: booting OVMF in QEMU")
        written += save_pictures(DEMOS[name](args), args.out)
    print("pictures written:")
    for path in written:
        print(f"  {path.resolve()}")


if __name__ == "__main__":
    main()
